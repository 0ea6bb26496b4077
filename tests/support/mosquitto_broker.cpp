#include "support/mosquitto_broker.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QStandardPaths>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace telvar::test
{

namespace
{

// A port nobody listens on now: the system's choice for a socket bound to 0.
int free_loopback_port()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return 0;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), size) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0)
        port = ntohs(address.sin_port);
    ::close(fd);
    return port;
}

bool run(const QString& program, const QStringList& arguments, const QString& folder,
         QString& error)
{
    QProcess p;
    p.setWorkingDirectory(folder);
    p.start(program, arguments);
    if (!p.waitForFinished(20000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        error = QStringLiteral("%1 %2 failed: %3")
                    .arg(program, arguments.join(QLatin1Char(' ')),
                         QString::fromUtf8(p.readAllStandardError()));
        return false;
    }
    return true;
}

} // namespace

mosquitto_broker::~mosquitto_broker()
{
    kill();
}

QString mosquitto_broker::executable(const QString& name)
{
    QString found = QStandardPaths::findExecutable(name);
    if (found.isEmpty())
        found = QStandardPaths::findExecutable(
            name, {QStringLiteral("/usr/sbin"), QStringLiteral("/usr/local/sbin")});
    return found;
}

QString mosquitto_broker::write_file(const QString& name, const QByteArray& text) const
{
    const QString path = dir_.filePath(name);
    QFile f(path);
    if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        f.write(text);
    return path;
}

bool mosquitto_broker::make_certificates()
{
    const QString openssl = executable(QStringLiteral("openssl"));
    if (openssl.isEmpty()) {
        error_ = QStringLiteral("openssl is not installed (bash scripts/install-deps.sh)");
        return false;
    }
    const QStringList ec{QStringLiteral("-newkey"), QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
                         QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes")};
    const QString folder = dir_.path();
    auto ca = [&](const QString& name, const QString& subject) {
        return run(openssl,
                   QStringList{QStringLiteral("req"), QStringLiteral("-x509")} + ec +
                       QStringList{QStringLiteral("-keyout"), name + QStringLiteral(".key"),
                                   QStringLiteral("-out"), name + QStringLiteral(".crt"),
                                   QStringLiteral("-days"), QStringLiteral("2"),
                                   QStringLiteral("-subj"), subject},
                   folder, error_);
    };
    // The broker's certificate names localhost, as the bridge is told to connect.
    write_file(QStringLiteral("server.ext"), "subjectAltName=DNS:localhost,IP:127.0.0.1\n");
    return ca(QStringLiteral("ca"), QStringLiteral("/CN=Telvar test CA")) &&
           ca(QStringLiteral("other-ca"), QStringLiteral("/CN=Some other CA")) &&
           run(openssl,
               QStringList{QStringLiteral("req")} + ec +
                   QStringList{QStringLiteral("-keyout"), QStringLiteral("server.key"),
                               QStringLiteral("-out"), QStringLiteral("server.csr"),
                               QStringLiteral("-subj"), QStringLiteral("/CN=localhost")},
               folder, error_) &&
           run(openssl,
               {QStringLiteral("x509"), QStringLiteral("-req"), QStringLiteral("-in"),
                QStringLiteral("server.csr"), QStringLiteral("-CA"), QStringLiteral("ca.crt"),
                QStringLiteral("-CAkey"), QStringLiteral("ca.key"),
                QStringLiteral("-CAcreateserial"), QStringLiteral("-out"),
                QStringLiteral("server.crt"), QStringLiteral("-days"), QStringLiteral("2"),
                QStringLiteral("-extfile"), QStringLiteral("server.ext")},
               folder, error_);
}

bool mosquitto_broker::start(const broker_options& how)
{
    how_ = how;
    if (!dir_.isValid()) {
        error_ = QStringLiteral("no temporary folder");
        return false;
    }
    if (executable(QStringLiteral("mosquitto")).isEmpty()) {
        error_ = QStringLiteral("mosquitto is not installed (bash scripts/install-deps.sh)");
        return false;
    }
    if (how.tls && !make_certificates())
        return false;
    if (!how.user.isEmpty()) {
        write_file(QStringLiteral("passwd"), QByteArray());
        if (!run(executable(QStringLiteral("mosquitto_passwd")),
                 {QStringLiteral("-b"), dir_.filePath(QStringLiteral("passwd")), how.user,
                  how.password},
                 dir_.path(), error_))
            return false;
    }
    // Another program may take the port between our look and the broker's bind.
    for (int attempt = 0; attempt < 5; ++attempt) {
        port_ = free_loopback_port();
        if (port_ && launch())
            return true;
    }
    return false;
}

bool mosquitto_broker::launch()
{
    QByteArray conf = "per_listener_settings false\n"
                      "listener " + QByteArray::number(port_) + " 127.0.0.1\n";
    if (how_.tls) {
        conf += "cafile " + QFile::encodeName(ca_file()) + "\n"
                "certfile " + QFile::encodeName(dir_.filePath(QStringLiteral("server.crt"))) + "\n"
                "keyfile " + QFile::encodeName(dir_.filePath(QStringLiteral("server.key"))) + "\n";
    }
    if (how_.user.isEmpty()) {
        conf += "allow_anonymous true\n";
    } else {
        conf += "allow_anonymous false\n"
                "password_file " + QFile::encodeName(dir_.filePath(QStringLiteral("passwd"))) + "\n";
    }
    conf += "persistence false\n"
            "log_dest stderr\n"
            "log_type error\nlog_type warning\nlog_type notice\nlog_type information\n";
    // As root the broker would switch to its own user, who may not read our folder.
    if (::geteuid() == 0)
        conf += "user root\n";
    const QString path = write_file(QStringLiteral("mosquitto.conf"), conf);

    log_.clear();
    process_.start(executable(QStringLiteral("mosquitto")), {QStringLiteral("-c"), path});
    if (!process_.waitForStarted(5000)) {
        error_ = process_.errorString();
        return false;
    }
    QElapsedTimer waited;
    waited.start();
    while (waited.elapsed() < 10000) {
        log_ += process_.readAllStandardError();
        if (log_.contains(" running"))
            return true;
        if (process_.state() == QProcess::NotRunning)
            break;
        process_.waitForReadyRead(100);
    }
    error_ = QStringLiteral("mosquitto did not start on port %1: %2")
                 .arg(port_)
                 .arg(QString::fromUtf8(log_));
    kill();
    return false;
}

void mosquitto_broker::kill()
{
    if (process_.state() == QProcess::NotRunning)
        return;
    process_.kill();
    process_.waitForFinished(5000);
    log_ += process_.readAllStandardError();
}

bool mosquitto_broker::restart()
{
    kill();
    return launch();
}

QStringList mosquitto_broker::client_arguments() const
{
    QStringList args{QStringLiteral("-h"), host(), QStringLiteral("-p"), QString::number(port_)};
    if (how_.tls)
        args << QStringLiteral("--cafile") << ca_file();
    if (!how_.user.isEmpty())
        args << QStringLiteral("-u") << how_.user << QStringLiteral("-P") << how_.password;
    return args;
}

mqtt_watch::~mqtt_watch()
{
    if (process_.state() != QProcess::NotRunning) {
        process_.kill();
        process_.waitForFinished(5000);
    }
}

bool mqtt_watch::start(const mosquitto_broker& broker, const QString& filter)
{
    // Hex payloads: empty and binary payloads survive the trip through lines.
    process_.start(mosquitto_broker::executable(QStringLiteral("mosquitto_sub")),
                   broker.client_arguments() +
                       QStringList{QStringLiteral("-q"), QStringLiteral("1"),
                                   QStringLiteral("-t"), filter, QStringLiteral("-F"),
                                   QStringLiteral("%r\\t%t\\t%x")});
    return process_.waitForStarted(5000);
}

void mqtt_watch::take_output()
{
    pending_ += process_.readAllStandardOutput();
    int newline;
    while ((newline = pending_.indexOf('\n')) >= 0) {
        const QList<QByteArray> fields = pending_.left(newline).split('\t');
        pending_.remove(0, newline + 1);
        if (fields.size() != 3)
            continue;
        messages_.append(
            {QString::fromUtf8(fields[1]), QByteArray::fromHex(fields[2]), fields[0] == "1"});
    }
}

const QList<mqtt_message>& mqtt_watch::messages()
{
    take_output();
    return messages_;
}

QList<mqtt_message> mqtt_watch::on(const QString& topic)
{
    QList<mqtt_message> found;
    for (const mqtt_message& m : messages())
        if (m.topic == topic)
            found.append(m);
    return found;
}

QByteArray mqtt_watch::last(const QString& topic)
{
    const QList<mqtt_message> found = on(topic);
    return found.isEmpty() ? QByteArray() : found.last().payload;
}

int mqtt_watch::wait_for(const QString& topic, const QByteArray& payload, int from, int timeout_ms)
{
    QElapsedTimer waited;
    waited.start();
    for (;;) {
        take_output();
        for (int i = std::max(0, from); i < messages_.size(); ++i)
            if (messages_[i].topic == topic && messages_[i].payload == payload)
                return i;
        if (waited.elapsed() > timeout_ms || process_.state() == QProcess::NotRunning)
            return -1;
        // Other processes of the test (the bridge, the simulator) are read meanwhile.
        QCoreApplication::processEvents();
        process_.waitForReadyRead(20);
    }
}

void mqtt_watch::clear()
{
    take_output();
    messages_.clear();
}

silent_listener::silent_listener()
{
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&address), size) == 0 &&
        ::listen(fd_, 64) == 0 &&
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size) == 0)
        port_ = ntohs(address.sin_port);
}

silent_listener::~silent_listener()
{
    if (fd_ >= 0)
        ::close(fd_);
}

bool mqtt_publish(const mosquitto_broker& broker, const QString& topic, const QByteArray& payload,
                  bool retain)
{
    QStringList args = broker.client_arguments() +
                       QStringList{QStringLiteral("-q"), QStringLiteral("1"), QStringLiteral("-t"),
                                   topic};
    if (payload.isEmpty())
        args << QStringLiteral("-n");
    else
        args << QStringLiteral("-m") << QString::fromUtf8(payload);
    if (retain)
        args << QStringLiteral("-r");
    QProcess p;
    p.start(mosquitto_broker::executable(QStringLiteral("mosquitto_pub")), args);
    return p.waitForFinished(10000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

} // namespace telvar::test

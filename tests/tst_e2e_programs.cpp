// The real executables, started as an operator starts them (offscreen here):
// each comes up, stays up, and ends on SIGTERM without crashing on the way out.
#include <QCoreApplication>
#include <QFileInfo>
#include <QProcess>
#include <QTest>

#include <csignal>

class tst_e2e_programs : public QObject
{
    Q_OBJECT
private slots:
    void stays_up_and_ends_on_sigterm_data();
    void stays_up_and_ends_on_sigterm();
};

void tst_e2e_programs::stays_up_and_ends_on_sigterm_data()
{
    QTest::addColumn<QString>("program");
    QTest::newRow("telvar") << "telvar";
    QTest::newRow("telvar-v1.1") << "telvar-v1.1";
}

void tst_e2e_programs::stays_up_and_ends_on_sigterm()
{
    QFETCH(QString, program);
    const QString path =
        QCoreApplication::applicationDirPath() + QStringLiteral("/../app/") + program;
    QVERIFY2(QFileInfo::exists(path), qPrintable(path));

    QProcess telvar;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    telvar.setProcessEnvironment(env);
    telvar.start(path, {});
    QVERIFY(telvar.waitForStarted(5000));
    // Still running a second later: no crash at start-up, no early exit.
    QVERIFY2(!telvar.waitForFinished(1000),
             qPrintable(QString::fromLocal8Bit(telvar.readAllStandardError())));
    QCOMPARE(telvar.state(), QProcess::Running);

    telvar.terminate();
    QVERIFY(telvar.waitForFinished(5000));
    // The program keeps no state, so SIGTERM's default end is a clean one; any
    // other signal (a crash on the way out) shows here.
    if (telvar.exitStatus() == QProcess::CrashExit)
        QCOMPARE(telvar.exitCode(), int(SIGTERM));
    else
        QCOMPARE(telvar.exitCode(), 0);
}

QTEST_GUILESS_MAIN(tst_e2e_programs)
#include "tst_e2e_programs.moc"

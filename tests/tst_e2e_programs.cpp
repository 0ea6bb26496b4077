// The real executables, started as an operator starts them (offscreen here):
// each comes up, stays up, and ends on SIGTERM without crashing on the way out;
// each says which fonts to install when none shows its Chinese texts.
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

class tst_e2e_programs : public QObject
{
    Q_OBJECT
private slots:
    void stays_up_and_ends_on_sigterm_data();
    void stays_up_and_ends_on_sigterm();
    void names_the_fonts_to_install_data();
    void names_the_fonts_to_install();
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

void tst_e2e_programs::names_the_fonts_to_install_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<QString>("fonts");  // a fontconfig set-up, or empty for the system's
    QTest::addColumn<bool>("warns");

    // No face at all, and the system's faces less every one for Chinese,
    // Japanese or Korean (which would show the Han characters).
    const QString none = QStringLiteral("<dir>%1/empty</dir>");
    const QString no_han = QStringLiteral(
        "<include ignore_missing=\"yes\">/etc/fonts/fonts.conf</include>"
        "<selectfont><rejectfont>"
        "<pattern><patelt name=\"lang\"><string>zh-cn</string></patelt></pattern>"
        "<pattern><patelt name=\"lang\"><string>zh-tw</string></patelt></pattern>"
        "<pattern><patelt name=\"lang\"><string>ja</string></patelt></pattern>"
        "<pattern><patelt name=\"lang\"><string>ko</string></patelt></pattern>"
        "</rejectfont></selectfont>");
    QTest::newRow("telvar, no font at all") << "telvar" << none << true;
    QTest::newRow("telvar-v1.1, no font at all") << "telvar-v1.1" << none << true;
    QTest::newRow("telvar, Latin faces only") << "telvar" << no_han << true;
    QTest::newRow("telvar, the installed Chinese face") << "telvar" << QString() << false;
    QTest::newRow("telvar-v1.1, the installed Chinese face") << "telvar-v1.1" << QString()
                                                             << false;
}

void tst_e2e_programs::names_the_fonts_to_install()
{
    QFETCH(QString, program);
    QFETCH(QString, fonts);
    QFETCH(bool, warns);
    const QString path =
        QCoreApplication::applicationDirPath() + QStringLiteral("/../app/") + program;

    QTemporaryDir folder;
    QVERIFY(folder.isValid() && QDir(folder.path()).mkdir("empty"));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("telvar.startup.debug=true"));
    env.remove(QStringLiteral("FONTCONFIG_PATH"));
    env.remove(QStringLiteral("FONTCONFIG_FILE"));
    if (!fonts.isEmpty()) {
        QFile config(folder.filePath("fonts.conf"));
        QVERIFY(config.open(QIODevice::WriteOnly));
        config.write(QStringLiteral("<?xml version=\"1.0\"?><fontconfig>%1"
                                    "<cachedir>%2/cache</cachedir></fontconfig>\n")
                         .arg(fonts.arg(folder.path()), folder.path())
                         .toUtf8());
        config.close();
        env.insert(QStringLiteral("FONTCONFIG_FILE"), config.fileName());
    }
    QProcess telvar;
    telvar.setProcessEnvironment(env);
    telvar.start(path, {});
    QVERIFY(telvar.waitForStarted(5000));
    // The check is done before the window is shown: its first paint is the
    // sign that every warning it gives is out.
    QString seen;
    QTRY_VERIFY_WITH_TIMEOUT(
        (seen += QString::fromUtf8(telvar.readAllStandardError())).contains("painted:"), 30000);
    telvar.terminate();
    QVERIFY(telvar.waitForFinished(5000));

    const bool named = seen.contains("fonts-arphic-uming") && seen.contains("fonts-noto-cjk")
                       && seen.contains("fonts-wqy-zenhei");
    QVERIFY2(named == warns, qPrintable(seen));
    if (warns)  // it says which characters are missing, the window's among them
        QVERIFY2(seen.contains(QStringLiteral("吸合")) && seen.contains(QStringLiteral("串")),
                 qPrintable(seen));
    // Every phase of the start-up is marked, in order, for the benchmark.
    const QStringList phases{"main", "application", "fonts", "form", "shown", "exposed",
                             "painted"};
    QStringList marked;
    for (const auto& match :
         QRegularExpression("telvar\\.startup: (\\w+):").globalMatch(seen))
        marked << match.captured(1);
    QCOMPARE(marked, phases);
}

QTEST_GUILESS_MAIN(tst_e2e_programs)
#include "tst_e2e_programs.moc"

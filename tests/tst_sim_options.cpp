// The simulator's command line and control commands: what a user types is
// either carried out as meant or refused with a message naming the option.
#include "sim/sim_options.h"

#include <QTest>

using namespace telvar;

class tst_sim_options : public QObject
{
    Q_OBJECT
private slots:
    void accepted_data();
    void accepted();
    void refused_data();
    void refused();
    void help_names_every_option();
    void control_data();
    void control();
};

void tst_sim_options::accepted_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("state");

    QTest::newRow("defaults: one board sharing the host's id and channel")
        << QStringList{}
        << QStringList{"board 1 relays 00A5 id 1 channel 1", "host id 1 channel 1"};
    QTest::newRow("boards follow the host given after them")
        << QStringList{"--board", "4", "--host-id", "77", "--host-channel", "9"}
        << QStringList{"board 4 relays 0000 id 77 channel 9", "host id 77 channel 9"};
    QTest::newRow("board with every setting")
        << QStringList{"--board", "255,relays=ffff,id=4294967295,channel=0"}
        << QStringList{"board 255 relays FFFF id 4294967295 channel 0", "host id 1 channel 1"};
    QTest::newRow("two boards, option=value form")
        << QStringList{"--board=1,relays=0001", "--board=2,channel=3"}
        << QStringList{"board 1 relays 0001 id 1 channel 1", "board 2 relays 0000 id 1 channel 3",
                       "host id 1 channel 1"};
    QTest::newRow("version asked") << QStringList{"--version"}
                                   << QStringList{"board 1 relays 00A5 id 1 channel 1",
                                                  "host id 1 channel 1"};
    QTest::newRow("board that ignores switch frames")
        << QStringList{"--board", "3,ignore-switch,relays=0002", "--board", "4,ignore-switch=off"}
        << QStringList{"board 3 relays 0002 id 1 channel 1 ignore-switch on",
                       "board 4 relays 0000 id 1 channel 1", "host id 1 channel 1"};
    QTest::newRow("stuck relays show pulled in, whatever relays= says after them")
        << QStringList{"--board", "2,stuck=3,stuck=5,relays=0001"}
        << QStringList{"board 2 relays 0015 id 1 channel 1 stuck 3+5", "host id 1 channel 1"};
    QTest::newRow("stuck=0 frees the relays made stuck before it")
        << QStringList{"--board", "2,stuck=3,stuck=0,stuck=1"}
        << QStringList{"board 2 relays 0001 id 1 channel 1 stuck 1", "host id 1 channel 1"};
}

void tst_sim_options::accepted()
{
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, state);
    const auto parsed = sim::parse_options(QStringList{"telvar-sim"} + arguments);
    QCOMPARE(parsed.error, QString());
    QCOMPARE(sim::state_lines(parsed.options.far_side), state);
}

void tst_sim_options::refused_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("named");

    QTest::newRow("unknown option") << QStringList{"--frobnicate"} << "--frobnicate";
    QTest::newRow("plain word") << QStringList{"board"} << "board";
    QTest::newRow("value missing at the end") << QStringList{"--loss"} << "--loss";
    QTest::newRow("rate above 1") << QStringList{"--loss", "1.5"} << "--loss";
    QTest::newRow("rate not a number") << QStringList{"--bad-checksum", "half"} << "--bad-checksum";
    QTest::newRow("negative rate") << QStringList{"--stray", "-0.1"} << "--stray";
    QTest::newRow("negative delay") << QStringList{"--delay", "-5"} << "--delay";
    QTest::newRow("zero pieces") << QStringList{"--split", "0"} << "--split";
    QTest::newRow("nine pieces") << QStringList{"--split", "9"} << "--split";
    QTest::newRow("port 0") << QStringList{"--com", "0"} << "--com";
    QTest::newRow("port not a number") << QStringList{"--com", "x1"} << "--com";
    QTest::newRow("address 256") << QStringList{"--board", "256"} << "--board";
    QTest::newRow("relays in three digits") << QStringList{"--board", "1,relays=0A5"} << "--board";
    QTest::newRow("relays not hex") << QStringList{"--board", "1,relays=00G5"} << "--board";
    QTest::newRow("id beyond 32 bits") << QStringList{"--board", "1,id=4294967296"} << "--board";
    QTest::newRow("channel 256") << QStringList{"--host-channel", "256"} << "--host-channel";
    QTest::newRow("unknown board setting") << QStringList{"--board", "1,colour=red"} << "--board";
    QTest::newRow("same address twice")
        << QStringList{"--board", "1", "--board", "1,id=3"} << "--board";
    QTest::newRow("ignore-switch given a word") << QStringList{"--board", "1,ignore-switch=yes"}
                                                << "--board";
    QTest::newRow("stuck relay 17") << QStringList{"--board", "1,stuck=17"} << "--board";
    QTest::newRow("stuck without a relay") << QStringList{"--board", "1,stuck"} << "stuck takes";
    QTest::newRow("flag given a value") << QStringList{"--echo=yes"} << "--echo";
    QTest::newRow("seed not a number") << QStringList{"--seed", "abc"} << "--seed";
    QTest::newRow("version given a value") << QStringList{"--version=2"} << "--version";
}

void tst_sim_options::refused()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, named);
    const auto parsed = sim::parse_options(QStringList{"telvar-sim"} + arguments);
    QVERIFY2(parsed.error.contains(named), qPrintable(parsed.error));
}

void tst_sim_options::help_names_every_option()
{
    const auto parsed = sim::parse_options({"telvar-sim", "--help"});
    QVERIFY(parsed.help);
    for (const char* option :
         {"--device", "--com", "--name", "--log", "--control", "--board", "--host-id", "--host-channel",
          "--loss", "--bad-checksum", "--delay", "--split", "--split-gap", "--stray", "--echo",
          "--pace", "--vanish-after", "--seed", "--help", "--version"})
        QVERIFY2(parsed.help_text.contains(QLatin1String(option)), option);
}

void tst_sim_options::control_data()
{
    QTest::addColumn<QStringList>("commands");
    QTest::addColumn<QStringList>("last_answer");
    QTest::addColumn<int>("action");

    const int none = int(sim::control_action::none);
    QTest::newRow("state") << QStringList{"state"}
                           << QStringList{"board 1 relays 00A5 id 1 channel 1",
                                          "host id 1 channel 1"}
                           << none;
    QTest::newRow("set relays then state")
        << QStringList{"set 1 relays 8001", "state"}
        << QStringList{"board 1 relays 8001 id 1 channel 1", "host id 1 channel 1"} << none;
    QTest::newRow("set slave channel") << QStringList{"set 1 channel 7"}
                                       << QStringList{"board 1 relays 00A5 id 1 channel 7"} << none;
    QTest::newRow("set host id") << QStringList{"set host id 42"}
                                 << QStringList{"host id 42 channel 1"} << none;
    QTest::newRow("board told to ignore switch frames")
        << QStringList{"set 1 ignore-switch on"}
        << QStringList{"board 1 relays 00A5 id 1 channel 1 ignore-switch on"} << none;
    QTest::newRow("a relay made stuck while running shows in at once")
        << QStringList{"set 1 stuck 2"}
        << QStringList{"board 1 relays 00A7 id 1 channel 1 stuck 2"} << none;
    QTest::newRow("a stuck relay cannot be set released")
        << QStringList{"set 1 stuck 2", "set 1 relays 0000"}
        << QStringList{"board 1 relays 0002 id 1 channel 1 stuck 2"} << none;
    QTest::newRow("set on a missing board")
        << QStringList{"set 9 relays 0000"} << QStringList{"error no board at address 9"} << none;
    QTest::newRow("set relays with bad hex")
        << QStringList{"set 1 relays zz"}
        << QStringList{"error use: set ADDR relays HEX4 | set ADDR id N | set ADDR channel N | "
                       "set ADDR ignore-switch on|off | set ADDR stuck N"}
        << none;
    QTest::newRow("fault changed")
        << QStringList{"fault loss 0.25"} << QStringList{"fault loss 0.25"} << none;
    QTest::newRow("silence on") << QStringList{"silence on"} << QStringList{"silence on"}
                                << int(sim::control_action::silence_on);
    QTest::newRow("silence off") << QStringList{"silence off"} << QStringList{"silence off"}
                                 << int(sim::control_action::silence_off);
    QTest::newRow("vanish") << QStringList{"vanish"} << QStringList{}
                            << int(sim::control_action::vanish);
    QTest::newRow("reappear") << QStringList{"reappear"} << QStringList{}
                              << int(sim::control_action::reappear);
    QTest::newRow("quit") << QStringList{"  quit "} << QStringList{}
                          << int(sim::control_action::quit);
}

void tst_sim_options::control()
{
    QFETCH(QStringList, commands);
    QFETCH(QStringList, last_answer);
    QFETCH(int, action);
    auto parsed = sim::parse_options({"telvar-sim"});
    sim::control_outcome outcome;
    for (const QString& command : commands)
        outcome = sim::run_control(command, parsed.options.far_side, parsed.options.faults);
    QCOMPARE(outcome.lines, last_answer);
    QCOMPARE(int(outcome.action), action);
}

QTEST_GUILESS_MAIN(tst_sim_options)
#include "tst_sim_options.moc"

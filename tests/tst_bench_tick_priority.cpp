// The prompt-wakeup request for the user-interface thread (the poll tick's
// punctuality on a busy machine): it may shorten the thread's time slice, but
// must leave alone what the user chose, the niceness Telvar was started with
// and the scheduling policy.
#include "relay/tick_priority.h"

#include <QtTest>

#ifdef __linux__
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <thread>
#endif

class tst_bench_tick_priority : public QObject {
    Q_OBJECT
private slots:
    void keeps_what_the_user_chose_data();
    void keeps_what_the_user_chose();
};

void tst_bench_tick_priority::keeps_what_the_user_chose_data()
{
    QTest::addColumn<int>("nice");
    QTest::newRow("started at the default priority") << 0;
    QTest::newRow("started with nice 5") << 5;
    QTest::newRow("started with nice 19, the lowest priority") << 19;
}

void tst_bench_tick_priority::keeps_what_the_user_chose()
{
#ifndef __linux__
    QSKIP("thread scheduling is checked on Linux");
#else
    QFETCH(int, nice);
    errno = 0;
    const int ours = getpriority(PRIO_PROCESS, 0);
    if (ours > nice)
        QSKIP("the tests run at a lower priority than this row needs");

    struct sched_attr_v1 {
        std::uint32_t size, sched_policy;
        std::uint64_t sched_flags;
        std::int32_t sched_nice;
        std::uint32_t sched_priority;
        std::uint64_t sched_runtime, sched_deadline, sched_period;
    };
    bool niced = false;
    int nice_after = -100;
    sched_attr_v1 before{};
    sched_attr_v1 after{};
    long read_back = -1;
    // A thread of its own, so that the test's main thread keeps its priority.
    std::thread worker([&] {
        const auto thread_id = static_cast<id_t>(syscall(SYS_gettid));
        niced = setpriority(PRIO_PROCESS, thread_id, nice) == 0;
        syscall(SYS_sched_getattr, 0, &before, sizeof before, 0);
        telvar::request_prompt_wakeups();
        errno = 0;
        nice_after = getpriority(PRIO_PROCESS, thread_id);
        read_back = syscall(SYS_sched_getattr, 0, &after, sizeof after, 0);
    });
    worker.join();

    QVERIFY(niced);
    QCOMPARE(nice_after, nice);
    QCOMPARE(read_back, 0L);
    QCOMPARE(after.sched_nice, nice);
    QCOMPARE(after.sched_policy, 0u);  // still the ordinary time-sharing policy
    // A slice may only get shorter: a longer one would make the tick later.
    QVERIFY(after.sched_runtime <= before.sched_runtime);
#endif
}

QTEST_GUILESS_MAIN(tst_bench_tick_priority)
#include "tst_bench_tick_priority.moc"

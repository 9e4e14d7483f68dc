// The adaptive bitrate's steps: for sequences of quarter-second SRT samples (and one-second RIST ones) given
// pulse by pulse, and over a small model of a link whose rate changes, where it must settle, hold and recover in
// the times the link tests demand of the real thing.
#include "adaptivebitrate.h"

#include <QtTest>

#include <algorithm>
#include <cmath>

namespace {

constexpr int kOperatorKbps = 4000;
constexpr int kLatencyMs = 200;
constexpr double kBaseRttMs = 40;
constexpr int kPulseMs = 250;
constexpr int kSoundKbps = 232;
// The rest of the stream beside the video, as the adaptive bitrate guesses it before it has measured it.
constexpr double kOverheadKbps = kSoundKbps * AdaptiveBitrate::kSoundWire + AdaptiveBitrate::kTablesKbps;

// One sample as the relay would report it. The stream handed over is the encoder's rate with its headers and the
// rest of the stream (sound); padding is what the adaptive bitrate last asked for.
enum class Kind {
    Clean,    // acknowledged as fast as handed over
    Burst,    // the buffer holds a burst, but nothing queues on the way and nothing is lost
    Queue,    // the buffer grows behind a queue: the link delivers only `link` kbit/s
    Lossy,    // 3 % loss, no queue
    Drop,     // the sender gave packets up
    Draining, // the buffer still full behind a queue, but emptying
    Short,    // acknowledged at only `link` kbit/s, before any queue shows
};

struct Pulse {
    Kind kind;
    double link = 0;
    // What was handed over, when not what the encoder is asked for (an encoder still following a step).
    double handed = 0;
};

QList<Pulse> repeat(const Pulse &pulse, int times) {
    QList<Pulse> list;
    for (int i = 0; i < times; ++i)
        list << pulse;
    return list;
}

const Pulse kClean{Kind::Clean};

LinkStats sample(quint64 sequence, int intervalMs, const Pulse &pulse, double inputKbps, double paddingKbps,
                 bool srt = true) {
    LinkStats stats;
    stats.transport = QStringLiteral("SRT");
    stats.sequence = sequence;
    stats.intervalMs = intervalMs;
    stats.latencyMs = kLatencyMs;
    stats.rttMs = kBaseRttMs;
    stats.sendBufferMs = kBaseRttMs + 10;
    stats.sentInterval = 100;
    stats.inputKbps = inputKbps;
    stats.paddingKbps = paddingKbps;
    stats.deliveredKbps = inputKbps + paddingKbps;
    switch (pulse.kind) {
    case Kind::Clean:
        break;
    case Kind::Burst:
        stats.sendBufferMs = 150;
        break;
    case Kind::Queue:
        stats.sendBufferMs = 180;
        stats.rttMs = kBaseRttMs + 90;
        stats.deliveredKbps = pulse.link;
        break;
    case Kind::Lossy:
        stats.sendBufferMs = 120;
        stats.lostInterval = 3;
        break;
    case Kind::Drop:
        stats.droppedInterval = 2;
        stats.deliveredKbps = pulse.link;
        break;
    case Kind::Draining:
        stats.sendBufferMs = 180;
        stats.rttMs = kBaseRttMs + 90;
        stats.deliveredKbps = (inputKbps + paddingKbps) * 1.3;
        break;
    case Kind::Short:
        stats.deliveredKbps = pulse.link;
        break;
    }
    if (!srt) {
        // RIST: no send buffer to judge, and no figures of what was handed over and acknowledged.
        stats.transport = QStringLiteral("RIST");
        stats.latencyMs = 0;
        stats.inputKbps = 0;
        stats.paddingKbps = 0;
        stats.deliveredKbps = 0;
    }
    return stats;
}

// Runs the pulses; the events are "N kbit/s" for a bitrate step and "pad N" for a padding request.
QStringList run(AdaptiveBitrate &adaptive, const QList<Pulse> &pulses, int intervalMs, bool srt = true) {
    QStringList events;
    quint64 sequence = 0;
    int padding = 0;
    for (const Pulse &pulse : pulses) {
        const double input =
            pulse.handed > 0 ? pulse.handed : adaptive.currentKbps() * AdaptiveBitrate::kVideoWire + kOverheadKbps;
        const AdaptiveBitrate::Step step =
            adaptive.onSample(sample(++sequence, intervalMs, pulse, input, padding, srt));
        if (step.paddingKbps >= 0) {
            padding = step.paddingKbps;
            events << QStringLiteral("pad %1").arg(padding);
        }
        if (step.kbps > 0) {
            events << QStringLiteral("%1 kbit/s").arg(step.kbps);
            if (step.reason.isEmpty())
                events << QStringLiteral("no reason");
        }
    }
    return events;
}

// A link of a given rate (kbit/s on the wire) with a 100 ms queue in front of it, carrying an encoder that gives
// what it is asked for with its headers, and 64 kbit/s of sound in its small packets. What overflows the queue is
// lost.
constexpr int kModelSoundKbps = 64;

struct ModelLink {
    static double wire(double encoderKbps) { return encoderKbps * AdaptiveBitrate::kVideoWire + kModelSoundKbps * 2.8; }

    double rateKbps = 0;
    double queuedKbit = 0;
    double lostKbit = 0;

    LinkStats pulse(quint64 sequence, double encoderKbps, double paddingKbps) {
        const double seconds = kPulseMs / 1000.0;
        const double input = wire(encoderKbps);
        const double offered = (input + paddingKbps) * seconds;
        const double queuedBefore = queuedKbit;
        const double carried = std::min(rateKbps * seconds, queuedKbit + offered);
        queuedKbit += offered - carried;
        const double limit = rateKbps * 0.1;
        double lost = 0;
        if (queuedKbit > limit) {
            lost = queuedKbit - limit;
            queuedKbit = limit;
        }
        lostKbit += lost;
        const double queueMs = 1000 * queuedKbit / rateKbps;
        // The round trip is measured on the packets that crossed the queue during the pulse.
        const double crossedMs = 1000 * (queuedBefore + queuedKbit) / 2 / rateKbps;
        LinkStats stats;
        stats.transport = QStringLiteral("SRT");
        stats.sequence = sequence;
        stats.intervalMs = kPulseMs;
        stats.latencyMs = kLatencyMs;
        stats.rttMs = kBaseRttMs + crossedMs;
        stats.sendBufferMs = kBaseRttMs + 2 * queueMs;
        stats.sentInterval = quint64(std::lround(offered / 10.5)) + 1;
        stats.lostInterval = quint64(std::lround(lost / 10.5));
        stats.inputKbps = input;
        stats.paddingKbps = paddingKbps;
        stats.deliveredKbps = carried / seconds;
        return stats;
    }
};

} // namespace

Q_DECLARE_METATYPE(QList<Pulse>)

class TestAdaptiveBitrate : public QObject {
    Q_OBJECT

private slots:
    void steps_data();
    void steps();
    void withoutPadding_data();
    void withoutPadding();
    void repeatedSampleCountsOnce();
    void modelLink_data();
    void modelLink();
};

void TestAdaptiveBitrate::steps_data() {
    QTest::addColumn<QList<Pulse>>("pulses");
    QTest::addColumn<QStringList>("expected");
    const Pulse narrow{Kind::Queue, 2850};
    const QList<Pulse> afterStart = repeat(kClean, 8);
    QTest::newRow("clean link at the operator's value") << repeat(kClean, 80) << QStringList{};
    // What the link delivered less a fifth, in the encoder's terms: (2850 * 0.8 - 600) / 1.05.
    QTest::newRow("half a second behind a queue: one step to what the link delivered")
        << afterStart + repeat(narrow, 2) << QStringList{"1600 kbit/s"};
    QTest::newRow("a quarter second behind a queue is not enough")
        << afterStart + QList<Pulse>{narrow, kClean, narrow, kClean} << QStringList{};
    QTest::newRow("a burst in the buffer without a queue is no congestion")
        << repeat(Pulse{Kind::Burst}, 20) << QStringList{};
    // Loss without a queue may be the link's own (radio); the bitrate only gives way to it slowly.
    QTest::newRow("less than two seconds of loss is not enough")
        << repeat(Pulse{Kind::Lossy}, 7) + QList<Pulse>{kClean} + repeat(Pulse{Kind::Lossy}, 7) << QStringList{};
    QTest::newRow("two seconds of loss: a fifth below what was delivered")
        << repeat(Pulse{Kind::Lossy}, 8) << QStringList{"3086 kbit/s"};
    QTest::newRow("dropped packets count as congestion")
        << afterStart + repeat(Pulse{Kind::Drop, 2850}, 2) << QStringList{"1600 kbit/s"};
    // The encoder's burst at the start queues for a moment on any link, and the link's figures then say little.
    QTest::newRow("a queue in the first three quarters of a second is the start's burst")
        << QList<Pulse>{kClean} + repeat(narrow, 3) + repeat(kClean, 20) << QStringList{};
    QTest::newRow("a queue for the first second: the deepest step")
        << QList<Pulse>{kClean} + repeat(Pulse{Kind::Queue, 4500}, 4) << QStringList{"1600 kbit/s"};
    QTest::newRow("a backlog draining after a step is no new congestion")
        << afterStart + repeat(narrow, 2) + repeat(Pulse{Kind::Draining}, 12) << QStringList{"1600 kbit/s"};
    // After a step the link gets the time its queue needs to drain at the new rate, with the encoder's half
    // second to follow: 0.5 + 0.14 * 2850 / (2850 - 1600 * 1.05 - 600) s. A link that then still delivers less than
    // it is handed gets the next step, (2193.75 * 0.8 - 600) / 1.05, but not below seven tenths.
    QTest::newRow("time to drain, then another step")
        << afterStart + repeat(narrow, 2) + repeat(narrow, 5) + repeat(Pulse{Kind::Queue, 2193.75}, 2)
        << QStringList{"1600 kbit/s", "1120 kbit/s"};
    // An encoder still giving what it gave before the step, over a link that delivers what the step was for.
    const Pulse lagging{Kind::Queue, 2850, 4800};
    QTest::newRow("an encoder still following its step is waited for")
        << afterStart + repeat(narrow, 2) + repeat(narrow, 4) + repeat(lagging, 8) << QStringList{"1600 kbit/s"};
    QTest::newRow("but not for ever") << afterStart + repeat(narrow, 2) + repeat(narrow, 4) + repeat(lagging, 14)
                                      << QStringList{"1600 kbit/s", "1280 kbit/s"};
    // Three tenths at most at once, whatever the link seemed to deliver, and seven tenths for a step that follows
    // one within 3 s, when the link is still busy with the repairs of before; never below a quarter.
    QTest::newRow("three tenths at once, then seven tenths, down to a quarter")
        << afterStart + repeat(Pulse{Kind::Queue, 100}, 30) << QStringList{"1200 kbit/s", "1000 kbit/s"};
    // After the step: three clean seconds, then padding of half the stream (1600 * 1.05 + 600 handed over) for a
    // second and a half; each probe the link carries raises the bitrate to a fifth below what it carried, and
    // doubles the next one, which never asks more than the operator's value needs: (4000 * 1.05 + 600) / 0.8.
    QTest::newRow("probes that find room bring the operator's value back")
        << afterStart + repeat(narrow, 2) + repeat(kClean, 60)
        << QStringList{"1600 kbit/s", "pad 1140",    "pad 0",    "2034 kbit/s", "pad 2736",
                       "pad 0",       "3597 kbit/s", "pad 1623", "pad 0",       "4000 kbit/s"};
    QTest::newRow("a probe that meets a queue ends at once and the bitrate stays")
        << afterStart + repeat(narrow, 2) + repeat(kClean, 12 + 2) + QList<Pulse>{narrow} + repeat(kClean, 20)
        << QStringList{"1600 kbit/s", "pad 1140", "pad 0", "pad 1140"};
    // The link takes the stream (1600 * 1.05 + 600) but not the padding beside it.
    QTest::newRow("a probe the link acknowledges only in part ends too")
        << afterStart + repeat(narrow, 2) + repeat(kClean, 12 + 2) + repeat(Pulse{Kind::Short, 2280}, 5) +
               repeat(kClean, 20)
        << QStringList{"1600 kbit/s", "pad 1140", "pad 0", "pad 1140"};
    QTest::newRow("no probe before three clean seconds")
        << afterStart + repeat(narrow, 2) + repeat(kClean, 11) + QList<Pulse>{Pulse{Kind::Burst}} + repeat(kClean, 11)
        << QStringList{"1600 kbit/s"};
}

void TestAdaptiveBitrate::steps() {
    QFETCH(QList<Pulse>, pulses);
    AdaptiveBitrate adaptive;
    adaptive.reset(kOperatorKbps, true, kSoundKbps);
    QTEST(run(adaptive, pulses, kPulseMs), "expected");
}

void TestAdaptiveBitrate::withoutPadding_data() {
    QTest::addColumn<QList<Pulse>>("seconds");
    QTest::addColumn<QStringList>("expected");
    const Pulse lossy{Kind::Lossy};
    QTest::newRow("one lossy second is not enough") << QList<Pulse>{lossy, kClean, lossy} << QStringList{};
    QTest::newRow("two lossy seconds step down by a fifth") << QList<Pulse>{lossy, lossy} << QStringList{"3200 kbit/s"};
    QTest::newRow("ten clean seconds step up by a tenth, never past the operator's value")
        << repeat(lossy, 2) + repeat(kClean, 1 + 10) + repeat(kClean, 10) + repeat(kClean, 10)
        << QStringList{"3200 kbit/s", "3520 kbit/s", "3872 kbit/s", "4000 kbit/s"};
    QTest::newRow("loss restarts the clean count")
        << repeat(lossy, 2) + repeat(kClean, 9) + QList<Pulse>{lossy} + repeat(kClean, 9) << QStringList{"3200 kbit/s"};
}

// RIST: one sample a second and no padding, so the bitrate itself is the probe.
void TestAdaptiveBitrate::withoutPadding() {
    QFETCH(QList<Pulse>, seconds);
    AdaptiveBitrate adaptive;
    adaptive.reset(kOperatorKbps, false, kSoundKbps);
    QTEST(run(adaptive, seconds, 1000, false), "expected");
}

void TestAdaptiveBitrate::repeatedSampleCountsOnce() {
    // The GUI's timer may read the same snapshot twice: one congested pulse must not count as two.
    AdaptiveBitrate adaptive;
    adaptive.reset(kOperatorKbps, true, kSoundKbps);
    const Pulse narrow{Kind::Queue, 2850};
    quint64 sequence = 0;
    while (sequence < 8)
        QCOMPARE(adaptive.onSample(sample(++sequence, kPulseMs, kClean, 4800, 0)).kbps, 0);
    QCOMPARE(adaptive.onSample(sample(9, kPulseMs, narrow, 4800, 0)).kbps, 0);
    QCOMPARE(adaptive.onSample(sample(9, kPulseMs, narrow, 4800, 0)).kbps, 0);
    QCOMPARE(adaptive.onSample(sample(0, kPulseMs, narrow, 4800, 0)).kbps, 0);
    QCOMPARE(adaptive.onSample(sample(10, kPulseMs, narrow, 4800, 0)).kbps, 1600);
}

void TestAdaptiveBitrate::modelLink_data() {
    QTest::addColumn<int>("operatorKbps");
    QTest::addColumn<double>("fromKbps");
    QTest::addColumn<double>("narrowKbps");
    QTest::newRow("1.2 Mbit/s asked over 0.9") << 1200 << 0.0 << 900.0;
    QTest::newRow("5 Mbit/s asked over 3") << 5000 << 0.0 << 3000.0;
    QTest::newRow("2 Mbit/s over a 3 Mbit/s link narrowing to 1") << 2000 << 3000.0 << 1000.0;
}

// Settles within 4 s of the narrowing and loses at most a second's worth of the stream doing so; then holds
// within a tenth for 20 s; back at the operator's value within 20 s of the link widening.
void TestAdaptiveBitrate::modelLink() {
    QFETCH(int, operatorKbps);
    QFETCH(double, fromKbps);
    QFETCH(double, narrowKbps);
    AdaptiveBitrate adaptive;
    adaptive.reset(operatorKbps, true, kModelSoundKbps);
    ModelLink link;
    quint64 sequence = 0;
    double padding = 0;
    QList<int> bitrates;
    const auto pulses = [&](int count) {
        for (int i = 0; i < count; ++i) {
            const AdaptiveBitrate::Step step =
                adaptive.onSample(link.pulse(++sequence, adaptive.currentKbps(), padding));
            if (step.paddingKbps >= 0)
                padding = step.paddingKbps;
            bitrates << adaptive.currentKbps();
        }
    };
    if (fromKbps > 0) {
        link.rateKbps = fromKbps;
        pulses(40);
        QCOMPARE(adaptive.currentKbps(), operatorKbps);
    }
    link.rateKbps = narrowKbps;
    link.lostKbit = 0;
    const int narrowedAt = bitrates.size();
    pulses(16);
    const double streamKbps = ModelLink::wire(operatorKbps);
    QVERIFY2(link.lostKbit <= streamKbps,
             qPrintable(QStringLiteral("%1 kbit lost of %2 kbit/s").arg(link.lostKbit).arg(streamKbps)));
    const int settled = bitrates.last();
    QVERIFY2(ModelLink::wire(settled) < narrowKbps, qPrintable(QString::number(settled)));
    QVERIFY2(ModelLink::wire(settled) > 0.6 * narrowKbps, qPrintable(QString::number(settled)));
    link.lostKbit = 0;
    pulses(80);
    const auto [low, high] = std::minmax_element(bitrates.begin() + narrowedAt + 16, bitrates.end());
    QVERIFY2(*high <= *low * 1.1, qPrintable(QStringLiteral("%1 to %2 kbit/s").arg(*low).arg(*high)));
    QCOMPARE(link.lostKbit, 0.0);
    link.rateKbps = 100000;
    pulses(80);
    QCOMPARE(adaptive.currentKbps(), operatorKbps);
}

QTEST_APPLESS_MAIN(TestAdaptiveBitrate)
#include "tst_adaptivebitrate.moc"

// The timecode word and its strip markup.
#include "vitcstrip.h"

#include <QtTest>

#include <cstring>

namespace {

struct Word {
    uint8_t bits[kVitcBits];
    int value(int from, int width) const {
        int v = 0;
        for (int k = 0; k < width; ++k)
            v |= bits[from + k] << k;
        return v;
    }
    // The time's digits: frame units and tens, then seconds, minutes and hours the same way.
    QList<int> digits() const {
        return {value(2, 4),  value(12, 2), value(22, 4), value(32, 3),
                value(42, 4), value(52, 3), value(62, 4), value(72, 2)};
    }
    QList<int> ones() const {
        QList<int> list;
        for (int i = 0; i < kVitcBits; ++i)
            if (bits[i])
                list << i;
        return list;
    }
    uint32_t userBits() const {
        uint32_t u = 0;
        for (int g = 0; g < 8; ++g)
            u |= uint32_t(value(6 + 10 * g, 4)) << (4 * g);
        return u;
    }
    bool checkBitsHold() const {
        for (int j = 0; j < 8; ++j) {
            int parity = 0;
            for (int p = 0; p < 82; ++p)
                if (p % 8 == (82 + j) % 8)
                    parity ^= bits[p];
            if (bits[82 + j] != parity)
                return false;
        }
        return true;
    }
};

Word build(int h, int m, int s, int n, double rate, uint32_t user) {
    Word word;
    std::memset(word.bits, 0xAA, sizeof word.bits);
    buildVitcBits(h, m, s, n, rate, user, word.bits);
    return word;
}

const QList<int> kSyncOnes = {0, 10, 20, 30, 40, 50, 60, 70, 80};

} // namespace

class TestVitcStrip : public QObject {
    Q_OBJECT

private slots:
    void midnightCarriesOnlySyncAndTheirCheckBit() {
        const Word word = build(0, 0, 0, 0, 25.0, 0);
        QCOMPARE(word.ones(), kSyncOnes + QList<int>{88});
    }

    void timeOfDayAt25() {
        const Word word = build(10, 21, 37, 7, 25.0, 500);
        // Frame units and tens, seconds, minutes, hours: 07, 37, 21, 10; flags 35 and 75 clear.
        QCOMPARE(word.digits(), QList<int>({7, 0, 7, 3, 1, 2, 0, 1}));
        QCOMPARE(QList<int>({word.bits[35], word.bits[75]}), QList<int>({0, 0}));
        QCOMPARE(word.userBits(), uint32_t(500));
        for (int sync : kSyncOnes) {
            QCOMPARE(int(word.bits[sync]), 1);
            QCOMPARE(int(word.bits[sync + 1]), 0);
        }
        QVERIFY(word.checkBitsHold());
    }

    void doubleRatesCountFieldPairs_data() {
        QTest::addColumn<double>("rate");
        QTest::addColumn<int>("frame");
        QTest::addColumn<QList<int>>("coded"); // the frame number in the word, bit 35, bit 75
        QTest::newRow("50, frame 15") << 50.0 << 15 << QList<int>{7, 0, 1};
        QTest::newRow("50, frame 14") << 50.0 << 14 << QList<int>{7, 0, 0};
        QTest::newRow("59.94, frame 15") << 59.94 << 15 << QList<int>{7, 1, 0};
        QTest::newRow("60, frame 15") << 60.0 << 15 << QList<int>{7, 1, 0};
        QTest::newRow("55 is a high rate") << 55.0 << 1 << QList<int>{0, 1, 0};
        QTest::newRow("31 counts frames") << 31.0 << 15 << QList<int>{15, 0, 0};
        QTest::newRow("31.5 counts pairs") << 31.5 << 15 << QList<int>{7, 0, 1};
        QTest::newRow("29.97 counts frames") << 29.97 << 29 << QList<int>{29, 0, 0};
    }
    void doubleRatesCountFieldPairs() {
        QFETCH(double, rate);
        QFETCH(int, frame);
        QFETCH(QList<int>, coded);
        const Word word = build(1, 2, 3, frame, rate, 0);
        const int number = word.value(2, 4) + 10 * (word.bits[12] ? 1 : word.bits[13] ? 2 : 0);
        QCOMPARE(QList<int>({number, word.bits[35], word.bits[75]}), coded);
        QVERIFY(word.checkBitsHold());
    }

    void tensBeyondTwoAreNotEncoded() {
        // Frame 34 keeps its units only; 59 s, 59 min and 23 h as they are.
        Word word = build(23, 59, 59, 34, 25.0, 0xFFFFFFFFu);
        QCOMPARE(word.digits(), QList<int>({4, 0, 9, 5, 9, 5, 3, 2}));
        QCOMPARE(word.userBits(), 0xFFFFFFFFu);
        QCOMPARE(QList<int>({word.bits[14], word.bits[15], word.bits[55], word.bits[74]}), QList<int>({0, 0, 0, 0}));
        QVERIFY(word.checkBitsHold());
        word = build(0, 0, 0, 61, 60.0, 0);
        QCOMPARE(word.digits().mid(0, 2), QList<int>({0, 0}));
        QCOMPARE(int(word.bits[35]), 1);
    }

    void markupHasOneCellPerBit() {
        const Word word = build(0, 0, 0, 0, 25.0, 0);
        const QString markup = vitcMarkup(word.bits);
        const QString white = "<text bg-color='white'>  </text>";
        const QString black = "<text bg-color='black'>  </text>";
        QCOMPARE(markup.count(white), 10);
        QCOMPARE(markup.count(black), 80);
        QVERIFY(markup.startsWith(white + black + black));
        QVERIFY(markup.endsWith(white + black));
        QCOMPARE(markup.size(), 10 * white.size() + 80 * black.size());
    }
};

QTEST_APPLESS_MAIN(TestVitcStrip)
#include "tst_vitcstrip.moc"

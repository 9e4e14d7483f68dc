#include "vitcstrip.h"

#include <cstring>

namespace {

constexpr int kGroupBits = 10;
constexpr int kGroups = 9;
constexpr int kCheckStart = 82;
// The check code has the generator x^8 + 1: each check bit covers every eighth bit before it.
constexpr int kCheckBits = 8;

void putDigit(uint8_t *bits, int at, int value, int width) {
    for (int k = 0; k < width; ++k)
        bits[at + k] = static_cast<uint8_t>((value >> k) & 1);
}

// Tens of frames and of hours carry only the values 1 and 2, each with a bit of its own.
void putShortTens(uint8_t *bits, int at, int tens) {
    bits[at] = tens == 1 ? 1 : 0;
    bits[at + 1] = tens == 2 ? 1 : 0;
}

} // namespace

void buildVitcBits(int hour, int minute, int second, int frame, double frameRate, uint32_t userBits,
                   uint8_t bits[kVitcBits]) {
    constexpr double kFieldPairsAbove = 31.0;
    constexpr double kHighRateFrom = 55.0;
    int fieldFlag = 0;
    int fieldFlagBit = -1;
    if (frameRate > kFieldPairsAbove) {
        fieldFlag = frame & 1;
        frame /= 2;
        fieldFlagBit = frameRate >= kHighRateFrom ? 35 : 75;
    }

    std::memset(bits, 0, kVitcBits);
    for (int g = 0; g < kGroups; ++g)
        bits[g * kGroupBits] = 1;

    putDigit(bits, 2, frame % 10, 4);
    putShortTens(bits, 12, frame / 10);
    putDigit(bits, 22, second % 10, 4);
    putDigit(bits, 32, second / 10, 3);
    putDigit(bits, 42, minute % 10, 4);
    putDigit(bits, 52, minute / 10, 3);
    putDigit(bits, 62, hour % 10, 4);
    putShortTens(bits, 72, hour / 10);
    if (fieldFlagBit >= 0)
        bits[fieldFlagBit] = static_cast<uint8_t>(fieldFlag);

    for (int group = 0; group < 8; ++group)
        putDigit(bits, 6 + group * kGroupBits, static_cast<int>((userBits >> (4 * group)) & 0xF), 4);

    for (int j = 0; j < kCheckBits; ++j) {
        const int position = kCheckStart + j;
        uint8_t parity = 0;
        for (int p = 0; p < kCheckStart; ++p)
            if (p % kCheckBits == position % kCheckBits)
                parity ^= bits[p];
        bits[position] = parity;
    }
}

QString vitcMarkup(const uint8_t bits[kVitcBits]) {
    const QString one = QStringLiteral("<text bg-color='white'>  </text>");
    const QString zero = QStringLiteral("<text bg-color='black'>  </text>");
    QString markup;
    markup.reserve(kVitcBits * one.size());
    for (int i = 0; i < kVitcBits; ++i)
        markup += bits[i] ? one : zero;
    return markup;
}

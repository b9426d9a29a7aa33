// A literal, unoptimised model of the converter's arithmetic (one output frame per step, plain
// 64-bit divisions), used to check the specialised loops value for value on random data.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "core/platform.h"
#include "engine/gain.h"

namespace conversion_test {

class ReferenceConverter {
public:
    ReferenceConverter(ULONG sourceRate, ULONG sourceWidth, ULONG sourceChannels, ULONG destinationRate,
                       ULONG destinationWidth, ULONG destinationChannels)
    {
        Setup(sourceRate, sourceWidth, sourceChannels, destinationRate, destinationWidth, destinationChannels);
    }

    // Takes new formats as Setup does without a Reset: the frames are dropped, phase and skip stay.
    void Setup(ULONG sourceRate, ULONG sourceWidth, ULONG sourceChannels, ULONG destinationRate,
               ULONG destinationWidth, ULONG destinationChannels)
    {
        sourceRate_ = sourceRate;
        sourceWidth_ = sourceWidth;
        sourceChannels_ = sourceChannels;
        destinationRate_ = destinationRate;
        destinationWidth_ = destinationWidth;
        destinationChannels_ = destinationChannels;
        passThrough_ = sourceRate == destinationRate && sourceWidth == destinationWidth &&
                       sourceChannels == destinationChannels;
        wholeRatio_ = sourceRate % destinationRate == 0;
        haveA_ = false;
        haveB_ = false;
    }

    uint32_t Phase() const { return phase_; }
    int64_t Skip() const { return skip_; }

    // Returns the bytes written; consumed gets the source bytes passed over.
    std::vector<UCHAR> Convert(const std::vector<UCHAR>& source, ULONG destinationBytes, ULONG* consumed,
                               const ScalePair* gains)
    {
        std::vector<UCHAR> out;
        const ULONG sourceFrame = sourceWidth_ * sourceChannels_;
        const ULONG destinationFrame = destinationWidth_ * destinationChannels_;
        size_t at = 0;
        if (passThrough_ && gains == nullptr) {
            size_t count = std::min<size_t>(source.size(), destinationBytes);
            *consumed = static_cast<ULONG>(count);
            return std::vector<UCHAR>(source.begin(), source.begin() + count);
        }
        while (out.size() + destinationFrame <= destinationBytes) {
            if (skip_ > 0) {
                size_t advance = std::min<size_t>(skip_, source.size() - at);
                at += advance;
                skip_ -= static_cast<int64_t>(advance);
            }
            if (!haveA_) {
                if (at >= source.size()) {
                    break;
                }
                Read(source, at, a_);
                at += sourceFrame;
                skip_ -= sourceFrame;
                haveA_ = true;
            }
            if (!wholeRatio_ && !haveB_) {
                if (at >= source.size()) {
                    break;
                }
                Read(source, at, b_);
                at += sourceFrame;
                skip_ -= sourceFrame;
                haveB_ = true;
            }
            int64_t f[8];
            for (ULONG c = 0; c < sourceChannels_; ++c) {
                f[c] = wholeRatio_ ? a_[c]
                                   : (a_[c] * int64_t(destinationRate_) + (b_[c] - a_[c]) * int64_t(phase_)) /
                                         int64_t(destinationRate_);
                if (gains != nullptr) {
                    // Gains above unity saturate; a zero denominator silences.
                    int64_t denominator = gains[c].Denominator;
                    f[c] = (denominator == 0) ? 0
                                              : std::clamp<int64_t>((f[c] * int64_t(gains[c].Numerator) +
                                                                     denominator / 2) / denominator,
                                                                    INT32_MIN, INT32_MAX);
                }
            }
            int64_t g[8];
            const ULONG s = sourceChannels_;
            const ULONG d = destinationChannels_;
            if (s == d) {
                for (ULONG c = 0; c < s; ++c) g[c] = f[c];
            } else if (s == 2 && d == 4) {
                g[0] = f[0], g[1] = f[1], g[2] = f[0], g[3] = f[1];
            } else if (s == 2 && d == 1) {
                g[0] = (f[0] + f[1]) / 2;
            } else if (s == 1 && d == 2) {
                g[0] = g[1] = f[0];
            } else {
                int64_t sum = 0;
                for (ULONG c = 0; c < s; ++c) sum += f[c];
                int64_t m = std::clamp<int64_t>(sum / s, INT32_MIN, INT32_MAX);
                for (ULONG c = 0; c < d; ++c) g[c] = m;
            }
            for (ULONG c = 0; c < d; ++c) {
                Write(out, static_cast<int32_t>(g[c]));
            }
            phase_ += sourceRate_;
            if (phase_ >= destinationRate_) {
                uint32_t q = phase_ / destinationRate_;
                phase_ %= destinationRate_;
                haveB_ = false;
                if (q == 1 && !wholeRatio_) {
                    for (ULONG c = 0; c < 8; ++c) a_[c] = b_[c];
                } else {
                    haveA_ = false;
                }
                skip_ += int64_t(q) * sourceFrame;
            }
        }
        *consumed = static_cast<ULONG>(at);
        return out;
    }

private:
    void Read(const std::vector<UCHAR>& source, size_t at, int64_t* frame)
    {
        for (ULONG c = 0; c < sourceChannels_; ++c) {
            uint32_t bits = 0;
            for (ULONG i = 0; i < sourceWidth_; ++i) {
                bits |= uint32_t(source[at + c * sourceWidth_ + i]) << (8 * i);
            }
            if (sourceWidth_ == 1) {
                bits ^= 0x80;
            }
            frame[c] = static_cast<int32_t>(bits << (32 - 8 * sourceWidth_));
        }
    }

    void Write(std::vector<UCHAR>& out, int32_t value)
    {
        uint32_t bits = static_cast<uint32_t>(value) >> (32 - 8 * destinationWidth_);
        if (destinationWidth_ == 1) {
            bits ^= 0x80;
        }
        for (ULONG i = 0; i < destinationWidth_; ++i) {
            out.push_back(static_cast<UCHAR>(bits >> (8 * i)));
        }
    }

    ULONG sourceRate_, sourceWidth_, sourceChannels_, destinationRate_, destinationWidth_, destinationChannels_;
    bool passThrough_, wholeRatio_;
    bool haveA_ = false, haveB_ = false;
    uint32_t phase_ = 0;
    int64_t skip_ = 0;
    int64_t a_[8] = {}, b_[8] = {};
};

}  // namespace conversion_test

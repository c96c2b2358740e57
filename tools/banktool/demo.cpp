#include "tools/banktool/demo.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>

#include "tools/banktool/bank_writer.h"
#include "tools/banktool/build.h"

namespace bankplay::banktool {

double defaultPlaybackRatio() { return 400.0 * std::exp2(64.0 / 12.0) / kDemoRate; }

namespace {

constexpr double kTwoPi = 2.0 * std::numbers::pi;

// Heard note frequencies, equal temperament from A4 = 440 Hz. With the source
// tuned so that the default pitch sounds one of them, every pitch step of the
// player (a semitone) lands on a note too.
constexpr double kC4 = 261.6256, kE4 = 329.6276, kG4 = 391.9954, kA4 = 440.0;

// Source-side values for what is heard at the default pitch.
double sourceHz(double heardHz) { return heardHz / defaultPlaybackRatio(); }
double sourceSeconds(double heardSeconds) { return heardSeconds * defaultPlaybackRatio(); }

// A fixed-seed xorshift generator: noise is the same on every run and every
// standard library, unlike the <random> distributions.
class Noise {
public:
    explicit Noise(std::uint32_t seed) : state_(seed) {}
    // Uniform in [-1, 1).
    double next() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 17;
        state_ ^= state_ << 5;
        return static_cast<double>(state_) / 2147483648.0 - 1.0;
    }

private:
    std::uint32_t state_;
};

using Signal = std::vector<double>;

Signal silence(double seconds) { return Signal(static_cast<std::size_t>(std::lround(seconds * kDemoRate)), 0.0); }
double timeOf(std::size_t i) { return static_cast<double>(i) / kDemoRate; }

// Exponential decay with the given time constant in heard seconds.
double decay(std::size_t i, double heardTau) { return std::exp(-timeOf(i) / sourceSeconds(heardTau)); }

// Ramps in and out so that neither end clicks, scales to the peak and
// converts. Fade lengths are in source seconds.
Sample finish(Signal signal, double peak, double fadeIn, double fadeOut) {
    const std::size_t n = signal.size();
    const auto inLen = static_cast<std::size_t>(fadeIn * kDemoRate);
    const auto outLen = static_cast<std::size_t>(fadeOut * kDemoRate);
    for (std::size_t i = 0; i < inLen && i < n; ++i)
        signal[i] *= 0.5 - 0.5 * std::cos(std::numbers::pi * static_cast<double>(i) / static_cast<double>(inLen));
    for (std::size_t i = 0; i < outLen && i < n; ++i)
        signal[n - 1 - i] *= 0.5 - 0.5 * std::cos(std::numbers::pi * static_cast<double>(i) / static_cast<double>(outLen));
    double max = 0.0;
    for (double v : signal) max = std::max(max, std::fabs(v));
    const double gain = max > 0.0 ? peak / max : 0.0;

    Sample sample;
    sample.encoding = Encoding::pcm16;
    sample.channels = 1;
    sample.sampleRate = static_cast<std::uint32_t>(kDemoRate);
    sample.data.reserve(n * 2);
    for (double v : signal)
        appendPcm16(sample, static_cast<std::int16_t>(std::clamp(std::lround(v * gain * 32767.0), -32767L, 32767L)));
    return sample;
}

Sample sine() {
    Signal s = silence(1.0);
    const double f = sourceHz(kA4);
    for (std::size_t i = 0; i < s.size(); ++i) s[i] = std::sin(kTwoPi * f * timeOf(i)) * decay(i, 1.5);
    return finish(std::move(s), 0.6, 0.004, 0.03);
}

// Karplus-Strong: a noise burst circulating in a delay line one period long,
// averaged on each pass so the high partials die first, as on a string. A
// first-order all-pass supplies the fraction of a sample the period needs
// to stay in tune.
Sample pluckedString() {
    Signal s = silence(1.2);
    const double period = kDemoRate / sourceHz(kC4);
    const auto delay = static_cast<std::size_t>(period - 0.5 - 0.1);  // keeps the fraction in [0.1, 1.1)
    const double fraction = period - 0.5 - static_cast<double>(delay);
    const double c = (1.0 - fraction) / (1.0 + fraction);

    Noise noise(0x5EED1234u);
    Signal line(delay);
    for (double& v : line) v = noise.next();
    double apIn = 0.0, apOut = 0.0, previous = 0.0;
    std::size_t pos = 0;
    for (double& out : s) {
        const double current = line[pos];
        const double averaged = 0.5 * (current + previous) * 0.996;
        previous = current;
        apOut = c * averaged + apIn - c * apOut;
        apIn = averaged;
        line[pos] = apOut;
        out = current;
        pos = (pos + 1) % delay;
    }
    return finish(std::move(s), 0.7, 0.001, 0.05);
}

// A square wave from its odd harmonics, rolled off faster than a true square
// for a softer tone, with a little vibrato and a held envelope.
Sample softSquareLead() {
    Signal s = silence(0.8);
    const double f = sourceHz(kE4);
    const double vibratoHz = sourceHz(5.0);
    double phase = 0.0;
    for (std::size_t i = 0; i < s.size(); ++i) {
        const double t = timeOf(i);
        phase += kTwoPi * f * (1.0 + 0.004 * std::sin(kTwoPi * vibratoHz * t)) / kDemoRate;
        double v = 0.0;
        for (int k = 1; k * f < kDemoRate / 2 && k <= 15; k += 2) v += std::sin(k * phase) / (k * k * 0.5 + 0.5 * k);
        const double attack = std::min(1.0, t / sourceSeconds(0.03));
        s[i] = v * attack * (0.8 + 0.2 * decay(i, 0.4));
    }
    return finish(std::move(s), 0.5, 0.004, 0.06);
}

// Two-operator FM with the modulator at 1.4 times the carrier: partials at
// |1 +- 1.4k| times the carrier, which no common fundamental explains, give
// a bell's clang; the brightness fades faster than the tone.
Sample fmBell() {
    Signal s = silence(1.5);
    const double carrier = sourceHz(kG4);
    const double modulator = carrier * 1.4;
    for (std::size_t i = 0; i < s.size(); ++i) {
        const double t = timeOf(i);
        const double index = 4.0 * decay(i, 0.8);
        s[i] = std::sin(kTwoPi * carrier * t + index * std::sin(kTwoPi * modulator * t)) * decay(i, 1.4);
    }
    return finish(std::move(s), 0.6, 0.001, 0.08);
}

// A sine whose pitch falls fast from a knock to a low thump.
Sample kick() {
    Signal s = silence(0.5);
    double phase = 0.0;
    for (std::size_t i = 0; i < s.size(); ++i) {
        const double heardHz = 45.0 + 115.0 * decay(i, 0.04);
        phase += kTwoPi * sourceHz(heardHz) / kDemoRate;
        s[i] = std::sin(phase) * decay(i, 0.18);
    }
    return finish(std::move(s), 0.9, 0.0005, 0.05);
}

// A short tone for the drum head under a burst of noise for the snares.
Sample snare() {
    Signal s = silence(0.5);
    Noise noise(0xC0FFEE01u);
    const double body = sourceHz(185.0);
    double low = 0.0;
    for (std::size_t i = 0; i < s.size(); ++i) {
        const double n = noise.next();
        low += 0.35 * (n - low);  // a gentle low-pass takes the fizz off
        s[i] = 0.5 * std::sin(kTwoPi * body * timeOf(i)) * decay(i, 0.06) + low * decay(i, 0.12);
    }
    return finish(std::move(s), 0.8, 0.0005, 0.05);
}

// High-passed noise with a quick decay.
Sample hiHat() {
    Signal s = silence(0.5);
    Noise noise(0x0BADCAFEu);
    double previous = 0.0;
    for (std::size_t i = 0; i < s.size(); ++i) {
        const double n = noise.next();
        s[i] = (n - previous) * decay(i, 0.05);  // a first difference keeps the highs
        previous = n;
    }
    return finish(std::move(s), 0.6, 0.0005, 0.05);
}

}  // namespace

std::vector<DemoInstrument> demoInstruments() {
    std::vector<DemoInstrument> bank;
    bank.push_back({"sine (A4 at the default pitch)", sine()});
    bank.push_back({"plucked string (C4)", pluckedString()});
    bank.push_back({"soft square lead (E4)", softSquareLead()});
    bank.push_back({"FM bell (G4)", fmBell()});
    bank.push_back({"kick", kick()});
    bank.push_back({"snare", snare()});
    bank.push_back({"hi-hat", hiHat()});
    return bank;
}

int writeDemoBank(const std::string& out, Reporter& reporter) {
    std::string error;
    auto writer = BankWriter::open(out, error);
    if (!writer) {
        reporter.error(out, error);
        return kExitFailed;
    }
    std::vector<DemoInstrument> instruments = demoInstruments();
    for (DemoInstrument& instrument : instruments)
        if (!appendGuarded(*writer, instrument.sample, "demo " + instrument.name, out, reporter)) return kExitFailed;
    if (!writer->commit(error)) {
        reporter.error(out, error);
        return kExitFailed;
    }
    for (std::size_t i = 0; i < instruments.size(); ++i)
        reporter.info("instrument " + std::to_string(i) + ": " + instruments[i].name + " (" +
                      describeSample(instruments[i].sample) + ")");
    reporter.info(out + ": " + std::to_string(instruments.size()) + " instruments, " + std::to_string(writer->size()) +
                  " bytes");
    return kExitOk;
}

}  // namespace bankplay::banktool

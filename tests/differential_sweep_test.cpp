// Random clips and arguments through the built command, each run several ways that must give
// the same bytes: from a file with one worker into a file, through pipes with three workers, as
// two --range pieces, and as Y4M for the layouts that Y4M has. Any crash, sanitizer report, exit status other than
// 0 or 1, or difference in output or message fails the sweep with the case that did it.
//
// DUNMOREL_SWEEP_SECONDS bounds the time (default 20), DUNMOREL_SWEEP_SEED replays a sweep.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "tests/cli_test_support.h"

namespace {

using dunmorel::cli::testing::Outcome;
using dunmorel::cli::testing::Shell;
using dunmorel::cli::testing::Slurp;
using dunmorel::cli::testing::Spit;
using dunmorel::cli::testing::Workspace;

struct Format {
    const char* name;
    int chroma_shift_x, chroma_shift_y;  // log2 of the subsampling of planes 1 and 2 (grey: of its size)
    int bytes_per_pixel;  // packed formats; 0 for planar
    int planes;  // planar formats
    const char* y4m_tag;  // the Y4M colour tag of the same layout, if it has one
};
constexpr Format kFormats[] = {
    {"yv12", 1, 1, 0, 3, "C420jpeg"}, {"i420", 1, 1, 0, 3, "C420"},    {"yuy2", 1, 0, 2, 0, nullptr},
    {"rgb24", 0, 0, 3, 0, nullptr},   {"rgb32", 0, 0, 4, 0, nullptr},  {"yuv444p", 0, 0, 0, 3, "C444"},
    {"yuv440p", 0, 1, 0, 3, "C440"},  {"yuv422p", 1, 0, 0, 3, "C422"}, {"yuv411p", 2, 0, 0, 3, "C411"},
    {"yuv410p", 2, 2, 0, 3, nullptr}, {"gray", 1, 1, 0, 1, "Cmono"},   {"gbrp", 0, 0, 0, 3, nullptr}};
constexpr int kFormatCount = sizeof kFormats / sizeof kFormats[0];

struct Case {
    Format format;
    int width = 0, height = 0, frames = 0;
    std::vector<std::string> args;
    std::string clip;  // the raw frames

    std::string Describe() const {
        std::ostringstream s;
        s << format.name << " " << width << "x" << height << ", " << frames << " frame(s):";
        for (const auto& a : args) s << " " << a;
        return s.str();
    }
    bool Planar() const { return format.bytes_per_pixel == 0; }
    std::size_t FrameBytes() const {
        const auto area = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
        if (!Planar()) return area * static_cast<std::size_t>(format.bytes_per_pixel);
        const auto chroma = static_cast<std::size_t>(width >> format.chroma_shift_x) *
                            static_cast<std::size_t>(height >> format.chroma_shift_y);
        return format.planes == 1 ? area : std::string(format.name) == "gbrp" ? 3 * area : area + 2 * chroma;
    }
};

class Generator {
public:
    explicit Generator(std::uint64_t seed) : rng_(seed) {}

    Case Next() {
        Case c;
        c.format = kFormats[Pick(0, kFormatCount - 1)];
        c.frames = Pick(1, 3);
        const int kind = Pick(0, 9);
        if (kind < 5) {
            ScriptWindow(c);
        } else if (kind < 9) {
            AutoWindow(c);
        } else {
            c.width = Pick(1, 80);
            c.height = Pick(1, 80);
            Maybe(c, "xgrid", {-3, 1, 3, 4, 5, 11, 13});
            Maybe(c, "autow", {0, 1});
        }
        // A whole number of chroma samples in each direction.
        const int sx = 1 << c.format.chroma_shift_x;
        const int sy = 1 << c.format.chroma_shift_y;
        c.width += (sx - c.width % sx) % sx;
        c.height += (sy - c.height % sy) % sy;
        Maybe(c, "limit", {-1, 0, 1, 2, 5, 20, 21});
        Maybe(c, "ry", {0, 1, 2, 3, 500, 501});
        Maybe(c, "gu", {0, 1, 2, -1});
        Maybe(c, "bv", {0, 1, 3, 500});
        if (Pick(0, 2) == 0) c.args.push_back("nf=" + std::to_string(Pick(0, c.frames)));  // one past the end too
        if (Pick(0, 19) == 0) c.args.push_back("print=true");
        Fill(c);
        return c;
    }

private:
    int Pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(rng_); }

    void Maybe(Case& c, const char* name, std::initializer_list<int> values) {
        if (Pick(0, 2) != 0) return;
        const int v = values.begin()[Pick(0, static_cast<int>(values.size()) - 1)];
        c.args.push_back(std::string(name) + "=" +
                         (std::string(name) == "autow" ? (v ? "true" : "false") : std::to_string(v)));
    }

    // One bound of a window coordinate: mostly at a limit, sometimes inside, now and then one
    // past it so that the refusal is compared as well.
    int Near(int low, int high) {
        if (high < low) return low;
        switch (Pick(0, 9)) {
            case 0:
                return low - 1;
            case 1:
                return high + 1;
            case 2:
            case 3:
            case 4:
                return low;
            case 5:
            case 6:
                return high;
            default:
                return Pick(low, high);
        }
    }

    void ScriptWindow(Case& c) {
        const int xgrid = 3 + 2 * Pick(0, 4);
        const bool ygrid_given = Pick(0, 1) == 0;
        const int ygrid = ygrid_given ? 3 + 2 * Pick(0, 4) : xgrid;
        c.width = 10 * xgrid + 1 + Pick(0, 40);
        c.height = 10 * ygrid + 1 + Pick(0, 40);
        c.args.push_back("xgrid=" + std::to_string(xgrid));
        if (ygrid_given) c.args.push_back("ygrid=" + std::to_string(ygrid));
        c.args.push_back("autow=false");
        // The width may still grow by one to be even, which widens the accepted range a little.
        const int lx = Near(xgrid, c.width - 1 - 9 * xgrid);
        const int rx = Near(lx + 8 * xgrid, c.width - 1 - xgrid);
        const int ty = Near(ygrid, c.height - 1 - 9 * ygrid);
        const int by = Near(ty + 8 * ygrid, c.height - 1 - ygrid);
        c.args.insert(c.args.end(), {"lx=" + std::to_string(lx), "rx=" + std::to_string(rx), "ty=" + std::to_string(ty),
                                     "by=" + std::to_string(by)});
    }

    void AutoWindow(Case& c) {
        Maybe(c, "xgrid", {3, 5, 7, 9, 11});
        Maybe(c, "ygrid", {3, 7, 11});
        // Past 512 the search blocks grow; below 256x256 only a given minw is accepted.
        c.width = Pick(0, 3) == 0 ? Pick(500, 700) : Pick(128, 330);
        c.height = Pick(0, 3) == 0 ? Pick(128, 140) : Pick(128, 270);
        const int area = c.width * c.height;
        if (area < 65536 || Pick(0, 1) == 0)
            c.args.push_back("minw=" + std::to_string(Near(std::max(area / 128, 1024), area / 16)));
    }

    // A ramp with noise of a random strength, a flat patch with less of it, and now and then a
    // constant plane or frame so that some planes measure no noise at all.
    void Fill(Case& c) {
        const std::size_t bytes = c.FrameBytes();
        c.clip.resize(bytes * static_cast<std::size_t>(c.frames));
        const int noise = Pick(0, 40);
        const bool constant = Pick(0, 9) == 0;
        const std::size_t row = c.Planar() ? static_cast<std::size_t>(c.width)
                                           : static_cast<std::size_t>(c.width) * c.format.bytes_per_pixel;
        for (std::size_t i = 0; i < c.clip.size(); ++i) {
            const std::size_t at = i % bytes;
            const std::size_t x = at % row;
            const std::size_t y = at / row;
            const bool flat = x < row / 2 && y < static_cast<std::size_t>(c.height) / 2;
            int v = constant ? 77 : static_cast<int>(40 + (x * 3 + y) % 160);
            if (!constant && noise > 0) v += Pick(0, flat ? noise / 4 : noise);
            c.clip[i] = static_cast<char>(v);
        }
    }

    std::mt19937_64 rng_;
};

constexpr const char* kNfPastEnd = "Dunmorel:invalid nf being either -ve or beyond clip\n";

std::string Join(const std::vector<std::string>& words) {
    std::string s;
    for (const auto& w : words) s += " " + w;
    return s;
}

// A command line that writes into `out_file`, whose bytes become the outcome's output.
Outcome ShellToFile(const Workspace& ws, const std::string& command, const std::string& out_file) {
    Outcome r = Shell(ws, command);
    r.out = Slurp(out_file);
    std::remove(out_file.c_str());
    return r;
}

// Y4M frames without their headers, or nothing when the stream is not well formed.
std::optional<std::string> StripY4m(const std::string& y4m, std::size_t frame_bytes) {
    std::size_t at = y4m.find('\n');
    std::string frames;
    while (at != std::string::npos && at + 1 < y4m.size()) {
        if (y4m.compare(at + 1, 5, "FRAME") != 0) return std::nullopt;
        const std::size_t body = y4m.find('\n', at + 1);
        if (body == std::string::npos || body + 1 + frame_bytes > y4m.size()) return std::nullopt;
        frames.append(y4m, body + 1, frame_bytes);
        at = body + frame_bytes;
    }
    return frames;
}

std::string Y4m(const Case& c) {
    std::string s = "YUV4MPEG2 W" + std::to_string(c.width) + " H" + std::to_string(c.height) + " F25:1 Ip A1:1 " +
                    c.format.y4m_tag + "\n";
    const std::size_t bytes = c.FrameBytes();
    for (int n = 0; n < c.frames; ++n) s += "FRAME\n" + c.clip.substr(static_cast<std::size_t>(n) * bytes, bytes);
    return s;
}

// A run is sound when it ended with 0 or 1 and said nothing but its one line.
void ExpectSound(const Outcome& r, const std::string& how, const Case& c) {
    EXPECT_TRUE(r.status == 0 || r.status == 1)
        << how << " ended with " << r.status << ": " << r.err << "\n  " << c.Describe();
    EXPECT_EQ(r.err.find("Sanitizer"), std::string::npos) << how << ": " << r.err << "\n  " << c.Describe();
    EXPECT_EQ(r.err.find("runtime error"), std::string::npos) << how << ": " << r.err << "\n  " << c.Describe();
    if (r.status == 1) {
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << how << ": " << r.err;
    }
}

TEST(DifferentialSweep, RandomClipsGiveTheSameBytesThroughEveryPath) {
    const char* seconds_text = std::getenv("DUNMOREL_SWEEP_SECONDS");
    const double seconds = seconds_text ? std::atof(seconds_text) : 20.0;
    const char* seed_text = std::getenv("DUNMOREL_SWEEP_SEED");
    const std::uint64_t seed =
        seed_text ? std::strtoull(seed_text, nullptr, 10)
                  : static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    std::printf("sweep: seed %llu (DUNMOREL_SWEEP_SEED replays it), %.0f s\n", static_cast<unsigned long long>(seed),
                seconds);
    std::fflush(stdout);

    const Workspace ws;
    const std::string cli = DUNMOREL_CLI_PATH;
    const std::string in = ws.File("in.raw");
    const std::string out = ws.File("out");
    Generator generate(seed);
    const auto start = std::chrono::steady_clock::now();
    int cases = 0, filtered = 0, refused = 0;
    while (std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() < seconds) {
        const Case c = generate.Next();
        ++cases;
        Spit(in, c.clip);
        const std::string raw = " --format " + std::string(c.format.name) + " --size " + std::to_string(c.width) + "x" +
                                std::to_string(c.height) + " -q";
        const std::string args = Join(c.args);

        const Outcome base = ShellToFile(ws, cli + " -i " + in + " -o " + out + raw + " --threads 1" + args, out);
        ExpectSound(base, "file to file, one worker", c);
        const Outcome piped =
            Shell(ws, "cat " + in + " | " + cli + " -i - -o -" + raw + " --threads 3" + args + " | cat");
        ExpectSound(piped, "pipe to pipe, three workers", c);
        EXPECT_EQ(piped.status, base.status) << c.Describe();
        // A stream's length is known only at its end, so an nf past it is refused after the
        // other checks, which may refuse first with their own message.
        if (base.err != kNfPastEnd) {
            EXPECT_EQ(piped.err, base.err) << c.Describe();
        }
        EXPECT_TRUE(piped.out == base.out) << "pipe to pipe, three workers: other bytes\n  " << c.Describe();
        if (base.status == 0) {
            ++filtered;
            EXPECT_EQ(base.out.size(), c.clip.size()) << c.Describe();
        } else {
            ++refused;
            EXPECT_TRUE(base.out.empty()) << "a refused run left an output\n  " << c.Describe();
        }

        if (base.status == 0 && c.frames > 1) {
            const int split = c.frames / 2;
            const std::string pieces = cli + " -i " + in + " -o -" + raw + " --threads 2 --range ";
            const Outcome head = Shell(ws, pieces + "0:" + std::to_string(split - 1) + args);
            const Outcome tail = Shell(ws, pieces + std::to_string(split) + ":" + args);
            ExpectSound(head, "first range", c);
            ExpectSound(tail, "second range", c);
            EXPECT_TRUE(head.out + tail.out == base.out) << "two ranges: other bytes\n  " << c.Describe();
        }
        if (c.format.y4m_tag) {
            Spit(ws.File("in.y4m"), Y4m(c));
            const Outcome y4m = ShellToFile(
                ws, "cat " + ws.File("in.y4m") + " | " + cli + " -i - -o " + out + " -q --threads 2" + args, out);
            ExpectSound(y4m, "Y4M", c);
            EXPECT_EQ(y4m.status, base.status) << c.Describe();
            if (base.err != kNfPastEnd) {
                EXPECT_EQ(y4m.err, base.err) << c.Describe();
            }
            if (base.status == 0) {
                // A Y4M stream holds its frames as the raw layout of its tag does (for 4:2:0,
                // I420 and YV12 alike), so its run gives the raw run's bytes.
                EXPECT_EQ(StripY4m(y4m.out, c.FrameBytes()), base.out) << "Y4M: other bytes\n  " << c.Describe();
            }
        }
        if (HasFailure()) break;
    }
    std::printf("sweep: %d cases in %.0f s, %d filtered and %d refused\n", cases,
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), filtered, refused);
    RecordProperty("cases", cases);
    EXPECT_GT(filtered, 0);
    EXPECT_GT(refused, 0);
}

}  // namespace

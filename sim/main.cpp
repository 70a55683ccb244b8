// bms_sim: a simulated BMS on a pseudo-terminal, for working on the tool
// without hardware.
//
//   bms_sim [OPTION]...     (bms_sim --help lists them)
//
// The first line on stdout is the path of the terminal to open in the tool.
// SIGUSR1 toggles silence (requests are still read, nothing is answered).
// SIGUSR2 writes the flash to the --flash-dump file and prints the reply statistics
// (with the count of refused register writes) on stderr; both happen on exit too.

#include "bms_model.h"

#include <bitset>
#include <cerrno>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <random>
#include <string>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

namespace
{

volatile sig_atomic_t stop_requested = 0;
volatile sig_atomic_t silence_toggles = 0;
volatile sig_atomic_t dump_requests = 0;

void on_stop(int)
{
    stop_requested = 1;
}

void on_toggle(int)
{
    silence_toggles = silence_toggles + 1;
}

void on_dump(int)
{
    dump_requests = dump_requests + 1;
}

// What became of the replies, so that a long run can compare what the tool
// accepted with what could have been accepted.
struct Stats {
    long long answered = 0;  // requests the model had a reply for
    long long silenced = 0;  // ... not sent because the BMS was silent
    long long dropped = 0;   // ... left out by --drop
    long long corrupted = 0; // sent with one byte flipped
    long long split = 0;     // sent in two writes
    long long merged = 0;    // sent in one write together with another reply or piece
    long long clean = 0;     // sent whole, alone and intact: the tool should take these
    long long refused = 0;   // register writes dropped by --refuse-writes/--refuse-registers

    void print() const
    {
        std::fprintf(stderr,
                     "bms_sim: replies: answered %lld, silenced %lld, dropped %lld, corrupted "
                     "%lld, split %lld, merged %lld, clean %lld; writes refused %lld\n",
                     answered, silenced, dropped, corrupted, split, merged, clean, refused);
    }
};

struct Options {
    std::string link;
    unsigned seed = 1;
    double drop = 0;
    double corrupt = 0;
    double split = 0;
    int delay_ms = 0;
    double silent_after_s = -1;
    bool verbose = false;
    bool help = false;
    bool version = false;
    LoaderFaults loader;
    WriteRefusal refusal;
    PackSetup pack;
};

// Laid out for help2man: a usage line, a paragraph, then sections of
// "  --option ARG  text" whose continuation lines are indented further.
const char HELP[] =
    R"(Usage: bms_sim [OPTION]...
A simulated BMS of a ten-cell scooter pack on a pseudo-terminal, for working on
the service tool without hardware. The first line printed on standard output is
the terminal to open (/dev/pts/N). It runs until SIGTERM, SIGINT or SIGHUP, or
until its standard input ends when that is a pipe or a terminal.

Options:
  --link PATH          also reach the terminal through the symlink PATH, removed
                       on exit
  --seed N             seed for the pack's cell spread and for the faults (1)
  --verbose            report silence toggles, short writes and refused register
                       writes on standard error
  -h, --help           show this help and exit
  --version            show the version and exit

Line faults:
  --drop P             leave a share P (0..1) of the requests unanswered
  --corrupt P          flip one byte in a share P of the replies
  --split P            send a share P of the replies in two writes, 30 ms apart
  --delay MS           hold replies and send what was held every MS ms in one
                       write (above the 100 ms poll period replies merge)
  --silent-after S     stop answering S seconds after start

Firmware loader:
  --ignore-first K     lose the first K transmissions of every upgrade command
  --drop-status P      leave a share P of the upgrade status polls unanswered
  --late-status P      for a share P of the upgrade commands the first status
                       poll still shows the previous command
  --no-loader          never carry out an upgrade command
  --flash-dump PATH    write the 14336-byte flash to PATH after every CRC check,
                       on SIGUSR2 and on exit

Register writes:
  --refuse-writes P    drop a share P of the register writes without storing
                       anything
  --refuse-registers LIST
                       drop every register write whose first register is in
                       LIST: numbers, decimal or 0x-hex, comma-separated
                       (e.g. 0x5A,0x18); combines with --refuse-writes

The pack:
  --load cycle         40 s charging at about 3 A, 80 s discharging (default)
  --load ride          discharging from the start: every 0.5 s a new current
                       between 2 and 20 A
  --load idle          at rest: 10 to 40 mA drawn
  --weak-cell K[:F]    cell K (1..10) has F times (default 4) the internal
                       resistance of a healthy cell
  --cell-offset K:MV   cell K (1..10) reads MV millivolts (may be negative) off
                       the others
  --hot-sensor C       temperature sensor 2 climbs about 1 deg C a second from
                       its start value up to C + 10 and stays there
--weak-cell and --cell-offset may be repeated for other cells.

Signals:
  SIGUSR1              toggle silence: requests are read, nothing is answered
  SIGUSR2              write the flash dump and print the reply and refused
                       write statistics on standard error (both also on exit)

Exit status:
  0                    stopped: by a signal, at the end of standard input or on
                       an error of the terminal
  1                    no pseudo-terminal could be opened
  2                    a bad option or value
)";

bool to_long(const std::string &text, long &value, int base = 10)
{
    char *end = nullptr;
    errno = 0;
    value = std::strtol(text.c_str(), &end, base);
    return !text.empty() && *end == '\0' && errno == 0;
}

bool to_double(const std::string &text, double &value)
{
    char *end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return !text.empty() && *end == '\0' && std::isfinite(value);
}

bool to_share(const std::string &text, double &value)
{
    return to_double(text, value) && value >= 0 && value <= 1;
}

// "K" or "K:rest", K a cell number 1..10; `rest` is left empty without a colon.
bool to_cell(const std::string &text, size_t &index, std::string &rest)
{
    const size_t colon = text.find(':');
    long k = 0;
    if (!to_long(text.substr(0, colon), k) || k < 1 || k > wire::CELL_COUNT)
        return false;
    index = static_cast<size_t>(k - 1);
    rest = colon == std::string::npos ? std::string() : text.substr(colon + 1);
    return colon == std::string::npos || !rest.empty();
}

bool to_registers(const std::string &text, std::bitset<256> &registers)
{
    size_t from = 0;
    while (true) {
        const size_t comma = std::min(text.find(',', from), text.size());
        const std::string item = text.substr(from, comma - from);
        const bool hex = item.size() > 2 && item[0] == '0' && (item[1] == 'x' || item[1] == 'X');
        long r = 0;
        if (!to_long(item, r, hex ? 16 : 10) || r < 0 || r > 0x7F)
            return false;
        registers.set(static_cast<size_t>(r));
        if (comma == text.size())
            return true;
        from = comma + 1;
    }
}

bool parse(int argc, char **argv, Options &o)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool has_value = i + 1 < argc;
        if (arg == "--verbose") {
            o.verbose = true;
        } else if (arg == "--help" || arg == "-h") {
            o.help = true;
        } else if (arg == "--version") {
            o.version = true;
        } else if (arg == "--link" && has_value) {
            o.link = argv[++i];
        } else if (arg == "--seed" && has_value) {
            o.seed = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 10));
        } else if (arg == "--drop" && has_value) {
            o.drop = std::atof(argv[++i]);
        } else if (arg == "--corrupt" && has_value) {
            o.corrupt = std::atof(argv[++i]);
        } else if (arg == "--split" && has_value) {
            o.split = std::atof(argv[++i]);
        } else if (arg == "--delay" && has_value) {
            o.delay_ms = std::atoi(argv[++i]);
        } else if (arg == "--silent-after" && has_value) {
            o.silent_after_s = std::atof(argv[++i]);
        } else if (arg == "--ignore-first" && has_value) {
            o.loader.ignore_first = std::atoi(argv[++i]);
        } else if (arg == "--drop-status" && has_value) {
            o.loader.drop_status = std::atof(argv[++i]);
        } else if (arg == "--late-status" && has_value) {
            o.loader.late_status = std::atof(argv[++i]);
        } else if (arg == "--no-loader") {
            o.loader.no_loader = true;
        } else if (arg == "--flash-dump" && has_value) {
            o.loader.flash_dump = QString::fromLocal8Bit(argv[++i]);
        } else if (arg == "--refuse-writes" && has_value) {
            if (!to_share(argv[++i], o.refusal.share))
                return false;
        } else if (arg == "--refuse-registers" && has_value) {
            if (!to_registers(argv[++i], o.refusal.registers))
                return false;
        } else if (arg == "--load" && has_value) {
            const std::string load = argv[++i];
            if (load == "cycle")
                o.pack.load = PackSetup::Load::Cycle;
            else if (load == "ride")
                o.pack.load = PackSetup::Load::Ride;
            else if (load == "idle")
                o.pack.load = PackSetup::Load::Idle;
            else
                return false;
        } else if (arg == "--weak-cell" && has_value) {
            size_t k = 0;
            std::string factor_text;
            double factor = 4;
            if (!to_cell(argv[++i], k, factor_text) ||
                (!factor_text.empty() && (!to_double(factor_text, factor) || factor <= 0)))
                return false;
            o.pack.resistance_factor[k] = factor;
        } else if (arg == "--cell-offset" && has_value) {
            size_t k = 0;
            std::string mv_text;
            long mv = 0;
            if (!to_cell(argv[++i], k, mv_text) || !to_long(mv_text, mv) || mv < -4000 || mv > 4000)
                return false;
            o.pack.offset_mv[k] = static_cast<int>(mv);
        } else if (arg == "--hot-sensor" && has_value) {
            // Sensor 2 is reported as deg C + 20 in one byte, C + 10 included.
            if (!to_double(argv[++i], o.pack.hot_sensor_c) || o.pack.hot_sensor_c < -20 ||
                o.pack.hot_sensor_c > 225)
                return false;
            o.pack.hot_sensor = true;
        } else {
            return false;
        }
    }
    return true;
}

qint64 now_ms()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<qint64>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Writes what the terminal takes now; a tool that stopped reading loses the rest,
// as it would on a real line.
void write_out(int fd, const QByteArray &bytes, bool verbose)
{
    const ssize_t n = ::write(fd, bytes.constData(), static_cast<size_t>(bytes.size()));
    if (verbose && n != bytes.size())
        std::fprintf(stderr, "bms_sim: wrote %zd of %d bytes\n", n, static_cast<int>(bytes.size()));
}

// stdin is watched only when someone can close it on us: a pipe (the parent that
// started us) or a terminal. /dev/null, as a background job gets, would end us at once.
bool stdin_worth_watching()
{
    struct stat st {
    };
    if (fstat(STDIN_FILENO, &st) != 0)
        return false;
    return S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode) || isatty(STDIN_FILENO);
}

struct Chunk {
    qint64 due_ms;
    QByteArray bytes;
    bool clean; // a whole, intact reply
};

} // namespace

int main(int argc, char **argv)
{
    Options opt;
    if (!parse(argc, argv, opt)) {
        std::fputs(HELP, stderr);
        return 2;
    }
    if (opt.help || opt.version) {
        std::fputs(opt.help ? HELP : "bms_sim " BMS_SIM_VERSION "\n", stdout);
        return 0;
    }

    int master = -1;
    int slave = -1;
    char name[PATH_MAX] = {};
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        std::perror("bms_sim: openpty");
        return 1;
    }
    termios tio{};
    tcgetattr(slave, &tio);
    cfmakeraw(&tio);
    tcsetattr(slave, TCSANOW, &tio);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    // The slave stays open here too, so the tool may close and reopen the port
    // without the master side seeing a hang-up.

    if (!opt.link.empty()) {
        struct stat st {
        };
        if (lstat(opt.link.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
            unlink(opt.link.c_str());
        if (symlink(name, opt.link.c_str()) != 0) {
            std::fprintf(stderr, "bms_sim: cannot create %s: %s\n", opt.link.c_str(),
                         std::strerror(errno));
            opt.link.clear();
        }
    }
    std::printf("%s\n", name);
    std::fflush(stdout);

    struct sigaction sa {
    };
    sa.sa_handler = on_stop;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    sa.sa_handler = on_toggle;
    sigaction(SIGUSR1, &sa, nullptr);
    sa.sa_handler = on_dump;
    sigaction(SIGUSR2, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    BmsModel model(opt.seed, opt.pack);
    opt.refusal.seed = opt.seed;
    model.refuse_writes(opt.refusal);
    opt.loader.seed = opt.seed;
    model.flash_loader().configure(opt.loader);
    int dumps_seen = 0;
    FrameAssembler assembler;
    std::mt19937 rng(opt.seed ^ 0x5EEDu);
    std::uniform_real_distribution<double> chance(0.0, 1.0);
    std::deque<Chunk> outgoing;

    const bool watch_stdin = stdin_worth_watching();
    const qint64 start = now_ms();
    qint64 last_tick = start;
    qint64 partial_since = start;
    bool silent = false;
    bool silence_armed = opt.silent_after_s >= 0;
    int toggles_seen = 0;
    Stats stats;

    while (!stop_requested) {
        pollfd fds[2] = {{master, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
        int timeout = 50;
        if (!outgoing.empty())
            timeout = static_cast<int>(
                std::max<qint64>(0, std::min<qint64>(timeout, outgoing.front().due_ms - now_ms())));
        const int ready = poll(fds, watch_stdin ? 2 : 1, timeout);
        if (ready < 0 && errno != EINTR)
            break;
        const qint64 now = now_ms();

        if (dumps_seen != dump_requests) {
            dumps_seen = dump_requests;
            model.flash_loader().dump_flash();
            stats.print();
        }
        if (toggles_seen != silence_toggles) {
            toggles_seen = silence_toggles;
            silent = !silent;
            if (opt.verbose)
                std::fprintf(stderr, "bms_sim: %s\n", silent ? "silent" : "answering");
        }
        if (silence_armed && now - start >= static_cast<qint64>(opt.silent_after_s * 1000)) {
            silence_armed = false;
            silent = true;
        }

        if (ready > 0 && watch_stdin && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
            char buf[256];
            if (::read(STDIN_FILENO, buf, sizeof buf) <= 0)
                break;
        }
        if (ready > 0 && (fds[0].revents & (POLLERR | POLLNVAL)))
            break;
        if (ready > 0 && (fds[0].revents & POLLIN)) {
            char buf[512];
            const ssize_t n = ::read(master, buf, sizeof buf);
            if (n < 0 && errno != EAGAIN && errno != EINTR && errno != EIO)
                break;
            if (n > 0) {
                if (!assembler.has_partial())
                    partial_since = now;
                assembler.feed(QByteArray(buf, static_cast<int>(n)));
            }
        }

        model.advance(static_cast<int>(now - last_tick));
        last_tick = now;

        // On a real line a frame's bytes follow each other within a millisecond or
        // two; a frame start that has waited longer was noise.
        QByteArray frame;
        std::deque<QByteArray> frames;
        while (true) {
            if (assembler.next_frame(frame)) {
                frames.push_back(frame);
                partial_since = now;
            } else if (assembler.has_partial() && now - partial_since > 50) {
                assembler.skip_head();
                partial_since = now;
            } else {
                break;
            }
        }
        for (const QByteArray &received : frames) {
            QByteArray reply = model.handle_frame(received);
            if (model.refused_writes() != stats.refused) {
                stats.refused = model.refused_writes();
                if (opt.verbose)
                    std::fprintf(stderr,
                                 "bms_sim: refused a write of %d bytes at register 0x%02X\n",
                                 static_cast<int>(static_cast<quint8>(received.at(6))),
                                 static_cast<unsigned>(static_cast<quint8>(received.at(5))));
            }
            if (reply.isEmpty())
                continue;
            ++stats.answered;
            if (silent) {
                ++stats.silenced;
                continue;
            }
            if (opt.drop > 0 && chance(rng) < opt.drop) {
                ++stats.dropped;
                continue;
            }
            bool clean = true;
            if (opt.corrupt > 0 && chance(rng) < opt.corrupt) {
                const int at = std::uniform_int_distribution<int>(0, reply.size() - 1)(rng);
                reply[at] = static_cast<char>(reply.at(at) ^ 0x5A);
                ++stats.corrupted;
                clean = false;
            }
            qint64 due = now;
            if (opt.delay_ms > 0)
                due = (now / opt.delay_ms + 1) * opt.delay_ms;
            if (opt.split > 0 && chance(rng) < opt.split && reply.size() > 1) {
                const int cut = std::uniform_int_distribution<int>(1, reply.size() - 1)(rng);
                outgoing.push_back({due, reply.left(cut), false});
                outgoing.push_back({due + 30, reply.mid(cut), false});
                ++stats.split;
            } else {
                outgoing.push_back({due, reply, clean});
            }
        }

        // Everything due goes out in one write: that is how held replies merge.
        QByteArray burst;
        int pieces = 0;
        int clean_pieces = 0;
        while (!outgoing.empty() && outgoing.front().due_ms <= now_ms()) {
            burst.append(outgoing.front().bytes);
            ++pieces;
            clean_pieces += outgoing.front().clean ? 1 : 0;
            outgoing.pop_front();
        }
        if (pieces == 1)
            stats.clean += clean_pieces;
        else
            stats.merged += clean_pieces;
        if (!burst.isEmpty())
            write_out(master, burst, opt.verbose);
    }

    stats.print();
    if (!opt.link.empty()) {
        char target[PATH_MAX] = {};
        const ssize_t n = readlink(opt.link.c_str(), target, sizeof target - 1);
        if (n > 0 && std::strcmp(target, name) == 0)
            unlink(opt.link.c_str());
    }
    model.flash_loader().dump_flash();
    close(slave);
    close(master);
    return 0;
}

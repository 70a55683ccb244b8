// bms_sim: a simulated BMS on a pseudo-terminal, for working on the tool
// without hardware.
//
//   bms_sim [OPTION]...     (bms_sim --help lists them)
//
// The first line on stdout is the path of the terminal to open in the tool; with
// --truth the second holds the cells' true resistances.
// SIGUSR1 toggles silence (requests are still read, nothing is answered).
// SIGUSR2 writes the flash to the --flash-dump file and prints the reply statistics
// (with the count of refused register writes) on stderr; both happen on exit too.

#include "bms_model.h"
#include "options.h"
#include "reply_line.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
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

void install_signal_handlers()
{
    struct sigaction sa {
    };
    sigemptyset(&sa.sa_mask);
    sa.sa_handler = [](int) { stop_requested = 1; };
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    sa.sa_handler = [](int) { silence_toggles = silence_toggles + 1; };
    sigaction(SIGUSR1, &sa, nullptr);
    sa.sa_handler = [](int) { dump_requests = dump_requests + 1; };
    sigaction(SIGUSR2, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

qint64 now_ms()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<qint64>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// The pseudo-terminal the tool opens, and the symlink that names it.
class Terminal
{
public:
    bool open(const std::string &link_path)
    {
        if (openpty(&master_, &slave, name_, nullptr, nullptr) != 0) {
            std::perror("bms_sim: openpty");
            return false;
        }
        termios tio{};
        tcgetattr(slave, &tio);
        cfmakeraw(&tio);
        tcsetattr(slave, TCSANOW, &tio);
        fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
        // The slave stays open here too, so the tool may close and reopen the port
        // without the master side seeing a hang-up.
        if (!link_path.empty())
            make_link(link_path);
        return true;
    }

    ~Terminal()
    {
        if (!link.empty()) {
            char target[PATH_MAX] = {};
            const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
            if (n > 0 && std::strcmp(target, name_) == 0)
                unlink(link.c_str());
        }
        if (slave >= 0)
            close(slave);
        if (master_ >= 0)
            close(master_);
    }

    int master() const { return master_; }
    const char *name() const { return name_; }

private:
    void make_link(const std::string &path)
    {
        struct stat st {
        };
        if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
            unlink(path.c_str());
        if (symlink(name_, path.c_str()) != 0)
            std::fprintf(stderr, "bms_sim: cannot create %s: %s\n", path.c_str(),
                         std::strerror(errno));
        else
            link = path;
    }

    int master_ = -1;
    int slave = -1;
    char name_[PATH_MAX] = {};
    std::string link;
};

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

// One run on one terminal: requests in, the model moved on, replies out through
// the faulty line, each at its due time.
class Simulator
{
public:
    Simulator(const Options &o, int fd)
        : opt(o), master(fd), model(o.seed, o.pack), line(o.line), start(now_ms()),
          last_tick(start), partial_since(start), silence_armed(o.silent_after_s >= 0),
          watch_stdin(stdin_worth_watching())
    {
        model.refuse_writes(o.refusal);
        model.flash_loader().configure(o.loader);
    }

    ~Simulator()
    {
        line.stats().print();
        model.flash_loader().dump_flash();
    }

    const Pack &pack() const { return model.cells(); }

    void run()
    {
        while (!stop_requested && wait_for_input()) {
            const qint64 now = now_ms();
            take_signals(now);
            if (!read_input(now))
                break;
            model.advance(static_cast<int>(now - last_tick));
            last_tick = now;
            answer(now);
            send_due();
        }
    }

private:
    // Sleeps until a request arrives or the next reply piece is due, at most 50 ms
    // so the pack moves on. False on an error of the terminal.
    bool wait_for_input()
    {
        fds[0] = {master, POLLIN, 0};
        fds[1] = {STDIN_FILENO, POLLIN, 0};
        qint64 timeout = 50;
        const qint64 due = line.next_due_ms();
        if (due >= 0)
            timeout = std::max<qint64>(0, std::min<qint64>(timeout, due - now_ms()));
        ready = poll(fds, watch_stdin ? 2 : 1, static_cast<int>(timeout));
        return ready >= 0 || errno == EINTR;
    }

    void take_signals(qint64 now)
    {
        if (dumps_seen != dump_requests) {
            dumps_seen = dump_requests;
            model.flash_loader().dump_flash();
            line.stats().print();
        }
        if (toggles_seen != silence_toggles) {
            toggles_seen = silence_toggles;
            line.set_silent(!line.silent());
            if (opt.verbose)
                std::fprintf(stderr, "bms_sim: %s\n", line.silent() ? "silent" : "answering");
        }
        if (silence_armed && now - start >= static_cast<qint64>(opt.silent_after_s * 1000)) {
            silence_armed = false;
            line.set_silent(true);
        }
    }

    // False when the run is over: standard input ended or the terminal failed.
    bool read_input(qint64 now)
    {
        if (ready <= 0)
            return true;
        if (watch_stdin && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
            char buf[256];
            if (::read(STDIN_FILENO, buf, sizeof buf) <= 0)
                return false;
        }
        if (fds[0].revents & (POLLERR | POLLNVAL))
            return false;
        if (fds[0].revents & POLLIN) {
            char buf[512];
            const ssize_t n = ::read(master, buf, sizeof buf);
            if (n < 0 && errno != EAGAIN && errno != EINTR && errno != EIO)
                return false;
            if (n > 0) {
                if (!assembler.has_partial())
                    partial_since = now;
                assembler.feed(QByteArray(buf, static_cast<int>(n)));
            }
        }
        return true;
    }

    void answer(qint64 now)
    {
        // On a real line a frame's bytes follow each other within a millisecond or
        // two; a frame start that has waited longer was noise.
        QByteArray frame;
        while (true) {
            if (assembler.next_frame(frame)) {
                partial_since = now;
                line.queue(model.handle_frame(frame), now);
                report_refusal(frame);
            } else if (assembler.has_partial() && now - partial_since > 50) {
                assembler.skip_head();
                partial_since = now;
            } else {
                break;
            }
        }
    }

    void report_refusal(const QByteArray &frame)
    {
        ReplyStats &stats = line.stats();
        if (model.refused_writes() == stats.refused)
            return;
        stats.refused = model.refused_writes();
        if (opt.verbose)
            std::fprintf(stderr, "bms_sim: refused a write of %d bytes at register 0x%02X\n",
                         static_cast<int>(static_cast<quint8>(frame.at(6))),
                         static_cast<unsigned>(static_cast<quint8>(frame.at(5))));
    }

    // Writes what the terminal takes now; a tool that stopped reading loses the
    // rest, as it would on a real line.
    void send_due()
    {
        for (const QByteArray &bytes : line.take_due(now_ms())) {
            const ssize_t n = ::write(master, bytes.constData(), static_cast<size_t>(bytes.size()));
            if (opt.verbose && n != bytes.size())
                std::fprintf(stderr, "bms_sim: wrote %zd of %d bytes\n", n,
                             static_cast<int>(bytes.size()));
        }
    }

    const Options &opt;
    const int master;
    BmsModel model;
    ReplyLine line;
    FrameAssembler assembler;
    const qint64 start;
    qint64 last_tick;
    qint64 partial_since;
    bool silence_armed;
    const bool watch_stdin;
    pollfd fds[2] = {};
    int ready = 0;
    int toggles_seen = 0;
    int dumps_seen = 0;
};

} // namespace

int main(int argc, char **argv)
{
    Options opt;
    std::string error;
    switch (parse_options(argc, argv, opt, error)) {
    case Parsed::Refused:
        std::fprintf(stderr, "%s\n", error.c_str());
        return 2;
    case Parsed::Help:
        std::fputs(SIM_HELP, stdout);
        return 0;
    case Parsed::Version:
        std::fputs("bms_sim " BMS_SIM_VERSION "\n", stdout);
        return 0;
    case Parsed::Run:
        break;
    }

    Terminal terminal;
    if (!terminal.open(opt.link))
        return 1;
    Simulator simulator(opt, terminal.master());
    std::printf("%s\n", terminal.name());
    if (opt.truth)
        std::printf("%s\n", truth_line(simulator.pack()).c_str());
    std::fflush(stdout);
    install_signal_handlers();
    simulator.run();
    return 0;
}

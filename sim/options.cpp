#include "options.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <iterator>

const char SIM_HELP[] =
    R"(Usage: bms_sim [OPTION]...
A simulated BMS of a ten-cell scooter pack on a pseudo-terminal, for working on
the service tool without hardware. The first line printed on standard output is
the terminal to open (/dev/pts/N). It runs until SIGTERM, SIGINT or SIGHUP, or
until its standard input ends when that is a pipe or a terminal.

Options:
  --link PATH          also reach the terminal through the symlink PATH, removed
                       on exit
  --seed N             seed for the pack's cells, its BMS serial and the faults
                       (1); simulators with different seeds are different packs
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
  --chunk N[:MS]       write every reply in pieces of N bytes (1..255), MS ms
                       apart (0..1000, default 2), as a USB-serial adapter hands
                       a reply over in 32-byte packets (--chunk 32)
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

The pack (without these options a healthy, balanced pack):
  --serial-number TEXT
                       the pack's serial number, up to 14 printable ASCII
                       characters, padded with spaces (default: drawn
                       from --seed; seed 1 gives SIM10S-0000042)
  --bms-serial HEX24   the BMS's own 12-byte identifier as 24 hex digits
                       (default: drawn from --seed; seed 1 gives
                       0A3F001751334B5220383147)
  --load cycle         40 s charging at about 3 A, then 80 s discharging in
                       steps between 3 and 17 A every 2.5 s (default)
  --load ride          discharging from the start: every 0.5 s a new current
                       between 2 and 20 A
  --load idle          at rest: 10 to 40 mA drawn
  --soc P              state of charge at start, percent (0..100, default 78)
  --unbalanced         the cells lie up to 50 mV apart instead of a few mV:
                       beyond the BMS's 20 mV disbalance threshold
  --weak-cell K[:F]    cell K (1..10) has F times (default 4) its healthy
                       internal resistance (about 8 mOhm)
  --cell-offset K:MV   cell K's open-circuit voltage lies MV millivolts
                       (-4000..4000) off the others'
  --hot-sensor C       temperature sensor 2 climbs about 1 deg C a second from
                       its start value up to C + 10 and stays there
  --protection-fault under|over|temp
                       the BMS sees that limit passed but keeps its switches
                       on: discharging below the undervoltage limit, charging
                       above the overvoltage limit, or both past the critical
                       temperature (overheat is still flagged)
  --truth              print the cells' true figures as the second line of
                       standard output, one JSON object: {"resistance_mohm":
                       [10 numbers, milliohms], "capacity_mah": [10 numbers]}
--weak-cell and --cell-offset may be repeated for other cells.

Each cell has its own open-circuit voltage curve (the pack's discharge curve,
registers 0x05..0x0F, shifted by the cell's offset), internal resistance and
capacity; a cell shows its open-circuit voltage at its own state of charge plus
the current times its resistance; driven past empty or full it leaves its curve,
80 mV a percent of its capacity. The BMS protects the pack as its settings say:
a cell below the undervoltage limit for the undervoltage delay opens the
discharge switch until every cell is back above the limit plus its hysteresis;
a cell above the overvoltage limit for its delay opens the charge switch until
every cell is below the limit less its hysteresis; a sensor at the critical
temperature for its delay flags overheat and opens both until it has cooled by
the hysteresis. An open switch stops the current in its direction.

Signals:
  SIGUSR1              toggle silence: requests are read, nothing is answered
  SIGUSR2              write the flash dump and print the reply and refused
                       write statistics on standard error (both also on exit)

Exit status:
  0                    stopped: by a signal, at the end of standard input or on
                       an error of the terminal
  1                    no pseudo-terminal could be opened
  2                    a bad option or value: one line on standard error names
                       the option and what it takes
)";

namespace
{

bool to_long(const std::string &text, long &value, int base = 10)
{
    char *end = nullptr;
    errno = 0;
    value = std::strtol(text.c_str(), &end, base);
    return !text.empty() && *end == '\0' && errno == 0;
}

bool to_long_in(const std::string &text, long &value, long low, long high)
{
    return to_long(text, value) && value >= low && value <= high;
}

bool to_double(const std::string &text, double &value)
{
    char *end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return !text.empty() && *end == '\0' && std::isfinite(value);
}

bool to_share(const std::string &text, double &value)
{
    double v = 0;
    if (!to_double(text, v) || v < 0 || v > 1)
        return false;
    value = v;
    return true;
}

// "K" or "K:rest", K a cell number 1..10; `rest` is left empty without a colon.
bool to_cell(const std::string &text, size_t &index, std::string &rest)
{
    const size_t colon = text.find(':');
    long k = 0;
    if (!to_long_in(text.substr(0, colon), k, 1, wire::CELL_COUNT))
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

bool to_hex_bytes(const std::string &text, std::array<quint8, wire::BMS_ID_BYTES> &bytes)
{
    if (text.size() != 2 * bytes.size())
        return false;
    for (size_t i = 0; i < bytes.size(); ++i) {
        long b = 0;
        const std::string pair = text.substr(2 * i, 2);
        if (!std::isxdigit(static_cast<unsigned char>(pair[0])) ||
            !std::isxdigit(static_cast<unsigned char>(pair[1])) || !to_long(pair, b, 16))
            return false;
        bytes[i] = static_cast<quint8>(b);
    }
    return true;
}

// One option: its name, what its value may be (null for a switch without a value),
// and what it sets; `set` returns false for a value it does not take.
struct OptionDef {
    const char *name;
    const char *takes;
    bool (*set)(const std::string &value, Options &o);
};

const OptionDef OPTIONS[] = {
    {"--link", "a path for the symlink",
     [](const std::string &v, Options &o) {
         o.link = v;
         return !v.empty();
     }},
    {"--seed", "a whole number from 0 to 4294967295",
     [](const std::string &v, Options &o) {
         char *end = nullptr;
         errno = 0;
         const unsigned long long n = std::strtoull(v.c_str(), &end, 10);
         o.seed = static_cast<unsigned>(n);
         return !v.empty() && v[0] != '-' && *end == '\0' && errno == 0 && n <= 0xFFFFFFFFull;
     }},
    {"--verbose", nullptr,
     [](const std::string &, Options &o) {
         o.verbose = true;
         return true;
     }},
    {"--drop", "a share from 0 to 1",
     [](const std::string &v, Options &o) { return to_share(v, o.line.drop); }},
    {"--corrupt", "a share from 0 to 1",
     [](const std::string &v, Options &o) { return to_share(v, o.line.corrupt); }},
    {"--split", "a share from 0 to 1",
     [](const std::string &v, Options &o) { return to_share(v, o.line.split); }},
    {"--delay", "milliseconds from 0 to 60000",
     [](const std::string &v, Options &o) {
         long ms = 0;
         if (!to_long_in(v, ms, 0, 60000))
             return false;
         o.line.delay_ms = static_cast<int>(ms);
         return true;
     }},
    {"--chunk", "N[:MS]: N bytes from 1 to 255, MS milliseconds from 0 to 1000",
     [](const std::string &v, Options &o) {
         const size_t colon = v.find(':');
         long n = 0;
         long ms = 2;
         if (!to_long_in(v.substr(0, colon), n, 1, wire::LONGEST_LEN + wire::ENVELOPE) ||
             (colon != std::string::npos && !to_long_in(v.substr(colon + 1), ms, 0, 1000)))
             return false;
         o.line.chunk_bytes = static_cast<int>(n);
         o.line.chunk_gap_ms = static_cast<int>(ms);
         return true;
     }},
    {"--silent-after", "seconds, 0 or more",
     [](const std::string &v, Options &o) {
         return to_double(v, o.silent_after_s) && o.silent_after_s >= 0;
     }},
    {"--ignore-first", "a count from 0 to 1000",
     [](const std::string &v, Options &o) {
         long k = 0;
         if (!to_long_in(v, k, 0, 1000))
             return false;
         o.loader.ignore_first = static_cast<int>(k);
         return true;
     }},
    {"--drop-status", "a share from 0 to 1",
     [](const std::string &v, Options &o) { return to_share(v, o.loader.drop_status); }},
    {"--late-status", "a share from 0 to 1",
     [](const std::string &v, Options &o) { return to_share(v, o.loader.late_status); }},
    {"--no-loader", nullptr,
     [](const std::string &, Options &o) {
         o.loader.no_loader = true;
         return true;
     }},
    {"--flash-dump", "a path for the flash dump",
     [](const std::string &v, Options &o) {
         o.loader.flash_dump = QString::fromLocal8Bit(v.c_str());
         return !v.empty();
     }},
    {"--refuse-writes", "a share from 0 to 1",
     [](const std::string &v, Options &o) { return to_share(v, o.refusal.share); }},
    {"--refuse-registers", "registers 0 to 0x7F, decimal or 0x-hex, comma-separated",
     [](const std::string &v, Options &o) { return to_registers(v, o.refusal.registers); }},
    {"--serial-number", "up to 14 printable ASCII characters",
     [](const std::string &v, Options &o) {
         o.pack.serial_number = v;
         return v.size() <= wire::SERIAL_TEXT_BYTES &&
                std::all_of(v.begin(), v.end(), [](char c) { return c >= 0x20 && c <= 0x7E; });
     }},
    {"--bms-serial", "24 hexadecimal digits",
     [](const std::string &v, Options &o) {
         o.pack.bms_serial_given = true;
         return to_hex_bytes(v, o.pack.bms_serial);
     }},
    {"--load", "cycle, ride or idle",
     [](const std::string &v, Options &o) {
         if (v == "cycle")
             o.pack.load = PackSetup::Load::Cycle;
         else if (v == "ride")
             o.pack.load = PackSetup::Load::Ride;
         else if (v == "idle")
             o.pack.load = PackSetup::Load::Idle;
         else
             return false;
         return true;
     }},
    {"--soc", "a state of charge in percent from 0 to 100",
     [](const std::string &v, Options &o) {
         double percent = 0;
         if (!to_double(v, percent) || percent < 0 || percent > 100)
             return false;
         o.pack.state_of_charge = percent / 100;
         return true;
     }},
    {"--protection-fault", "under, over or temp",
     [](const std::string &v, Options &o) {
         using Fault = PackSetup::Fault;
         if (v == "under")
             o.pack.protection_fault = Fault::Under;
         else if (v == "over")
             o.pack.protection_fault = Fault::Over;
         else if (v == "temp")
             o.pack.protection_fault = Fault::Temperature;
         else
             return false;
         return true;
     }},
    {"--truth", nullptr,
     [](const std::string &, Options &o) {
         o.truth = true;
         return true;
     }},
    {"--unbalanced", nullptr,
     [](const std::string &, Options &o) {
         o.pack.unbalanced = true;
         return true;
     }},
    {"--weak-cell", "K[:F]: a cell K from 1 to 10, a factor F above 0 (default 4)",
     [](const std::string &v, Options &o) {
         size_t k = 0;
         std::string factor_text;
         double factor = 4;
         if (!to_cell(v, k, factor_text) ||
             (!factor_text.empty() && (!to_double(factor_text, factor) || factor <= 0)))
             return false;
         o.pack.resistance_factor[k] = factor;
         return true;
     }},
    {"--cell-offset", "K:MV: a cell K from 1 to 10, MV millivolts from -4000 to 4000",
     [](const std::string &v, Options &o) {
         size_t k = 0;
         std::string mv_text;
         long mv = 0;
         if (!to_cell(v, k, mv_text) || !to_long_in(mv_text, mv, -4000, 4000))
             return false;
         o.pack.offset_mv[k] = static_cast<int>(mv);
         return true;
     }},
    // Sensor 2 is reported as deg C + 20 in one byte, C + 10 included.
    {"--hot-sensor", "degrees C from -20 to 225",
     [](const std::string &v, Options &o) {
         o.pack.hot_sensor = true;
         return to_double(v, o.pack.hot_sensor_c) && o.pack.hot_sensor_c >= -20 &&
                o.pack.hot_sensor_c <= 225;
     }},
};

} // namespace

Parsed parse_options(int argc, const char *const *argv, Options &o, std::string &error)
{
    bool help = false;
    bool version = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            help = true;
            continue;
        }
        if (arg == "--version") {
            version = true;
            continue;
        }
        const auto def = std::find_if(std::begin(OPTIONS), std::end(OPTIONS),
                                      [&](const OptionDef &d) { return arg == d.name; });
        if (def == std::end(OPTIONS)) {
            error = "bms_sim: unknown option \"" + arg + "\" (bms_sim --help lists them)";
            return Parsed::Refused;
        }
        if (!def->takes) {
            def->set({}, o);
            continue;
        }
        if (i + 1 >= argc) {
            error = "bms_sim: " + arg + " takes " + def->takes;
            return Parsed::Refused;
        }
        const std::string value = argv[++i];
        if (!def->set(value, o)) {
            error = "bms_sim: " + arg + " takes " + def->takes + ", not \"" + value + "\"";
            return Parsed::Refused;
        }
    }
    if (help || version)
        return help ? Parsed::Help : Parsed::Version;
    // One seed makes one pack on one line: rerunning with it repeats the run.
    o.line.seed = o.seed;
    o.loader.seed = o.seed;
    o.refusal.seed = o.seed;
    return Parsed::Run;
}

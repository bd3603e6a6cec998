#include "cli.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>

namespace sim {

namespace {

bool to_long(const std::string& text, long* out) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    long v = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0') return false;
    *out = v;
    return true;
}

// "K:REST" with K a record index (0 = before the first record).
bool split_index(const std::string& text, int* k, std::string* rest, bool rest_required) {
    size_t colon = text.find(':');
    long v = 0;
    if (!to_long(text.substr(0, colon), &v) || v < 0 || v > 1000000) return false;
    *k = static_cast<int>(v);
    if (colon == std::string::npos) {
        rest->clear();
        return !rest_required;
    }
    *rest = text.substr(colon + 1);
    return true;
}

// "WHERE[:N][:X]" of --replug-at, into a pulled plug.
bool parse_pull(const std::string& text, LinePull* out) {
    std::vector<std::string> parts;
    for (size_t start = 0;;) {
        size_t colon = text.find(':', start);
        parts.push_back(text.substr(start, colon == std::string::npos ? std::string::npos : colon - start));
        if (colon == std::string::npos) break;
        start = colon + 1;
    }
    struct Form {
        const char* name;
        LinePull::Where where;
        bool numbered;  // takes N
        int extras;     // 0: nothing more; 1: optional MS; 2: required BYTES
    };
    static const Form forms[] = {
        {"password", LinePull::AfterPassword, true, 1}, {"before-go", LinePull::BeforeGo, false, 1},
        {"after-go", LinePull::AfterGo, false, 1},      {"loader", LinePull::InLoader, true, 0},
        {"ready", LinePull::AfterReady, true, 1},       {"record", LinePull::InRecord, true, 2},
    };
    for (const Form& f : forms) {
        if (parts[0] != f.name) continue;
        size_t at = 1;
        long n = 0;
        if (f.numbered && (parts.size() <= at || !to_long(parts[at++], &n) || n < 1 || n > 1000000)) return false;
        long x = 0;
        if (f.extras == 2 && (parts.size() <= at || !to_long(parts[at++], &x) || x < 1 || x > 255)) return false;
        if (f.extras == 1 && parts.size() > at && (!to_long(parts[at++], &x) || x < 0 || x > 600000)) return false;
        if (parts.size() != at) return false;
        *out = LinePull::at(f.where, static_cast<int>(n));
        if (f.extras == 2) out->bytes = static_cast<size_t>(x);
        if (f.extras == 1) out->delay = std::chrono::milliseconds(x);
        return true;
    }
    return false;
}

}  // namespace

bool unescape(const std::string& text, std::string* out) {
    out->clear();
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c != '\\') {
            *out += c;
            continue;
        }
        if (++i >= text.size()) return false;
        switch (text[i]) {
        case 'n': *out += '\n'; break;
        case 'r': *out += '\r'; break;
        case 't': *out += '\t'; break;
        case '0': *out += '\0'; break;
        case '\\': *out += '\\'; break;
        case 'x': {
            if (i + 2 >= text.size()) return false;
            std::string hex = text.substr(i + 1, 2);
            if (hex.size() != 2 || !std::isxdigit(static_cast<unsigned char>(hex[0])) ||
                !std::isxdigit(static_cast<unsigned char>(hex[1])))
                return false;
            *out += static_cast<char>(std::strtol(hex.c_str(), nullptr, 16));
            i += 2;
            break;
        }
        default: return false;
        }
    }
    return true;
}

std::string usage_text() {
    return R"(usage: fwld-target [options]
       fwld-target --digest FILE

Plays the target device for fwld on a pty it creates (default) or on a real
serial device. Prints "device: PATH" first; at the end a summary, exit 0 only
when everything arrived intact (and matches --expect when given).

Line:
  --pty                 create a pty (default); PATH is its slave side
  --link PATH           also publish the slave path as a symlink at PATH
  --device PATH         use a real serial device instead of a pty
  --baud N              initial line speed (default 9600)
  --line-rate           pace both directions at the line's baud, 10 bits a byte
Wake-up:
  --id N                target ID expected in the reset sentence and password
  --ack-after N         acknowledge after N passwords (default 1)
  --no-ack              never acknowledge
  --ack-text TEXT       acknowledgement text (default "Ready ok.")
  --junk-before-ack TEXT  bytes sent before the acknowledgement
  --ack-interleave TEXT bytes sent between acknowledgement characters
  --ack-split MS        pause between acknowledgement characters
  --g-before-ack        send an extra 'G' ahead of the acknowledgement
  --g-delay MS          pause between acknowledgement and 'G'
  --no-g                never send 'G'
Loader:
  --early-h             send the first 'H' as soon as "Loader" arrives
  --loader-out FILE     write the received loader records (80-byte padded)
Program (K = record number from 1; 0 = before the first record; actions for
one K run in the order given, then the target asks for the next record):
  --resend-after K      'R', then check the resend equals record K
  --speed-after K:BAUD  'S' + "BAUD,8,N,1,x\n", then switch own side
  --speed-line-after K:BAUD:TEXT  'S' + TEXT as is, then switch to BAUD
  --message-after K:TEXT  'M' + TEXT + "\n"
  --erase-list-after K  'Z', then read and print the reply
  --pause-after K       'h'
  --flash-type-after K:C  C = 1 or 2 (reports) or 0 (type error, ends the run)
  --error-after K:C[:D] C = N (with detail byte D, default 1), E or e; ends the run
  --junk-after K:TEXT   send TEXT (ignored by the tool)
  --silent-after K      fall silent
  --hang-after K        fall silent on a line that stays: read and drop what
                        comes until stopped or --timeout
  --replug-after K      hang up the pty and publish a new one at --link
  --replug-at WHERE     the same at another point, losing what is on its way:
                        password:N[:MS]  MS after the N-th password
                        before-go[:MS]   MS after the acknowledgement, before G
                        after-go[:MS]    MS after G
                        loader:N         after N loader records
                        ready:K[:MS]     MS after the H for record K, then R
                        record:K:BYTES   after BYTES bytes of record K, then R
  --keep-going-after-e  do not stop at an E record; end when the tool closes the port
  --image-out FILE      write the received records, concatenated as framed
Fixture (one line, boards swapped on it; each woken afresh):
  --boards N            N boards one after the other (default 1)
  --swap-at B:K         take board B out after record K, mid-update
  --swap-delay MS       from one board out to the next in (default 500)
Modem lines (through the stand-in, see FWLD_MODEM_LINES):
  --lines-dir DIR       hear the tool's DTR and RTS in DIR
                        (default: $FWLD_MODEM_LINES)
  --reset-line dtr|rts  a board that line resets: it ignores everything
                        until the line goes from off to on
Patience:
  --gap-timeout MS      longest pause inside a record or reply (default 5000)
  --replug-delay MS     how long the link is gone on a replug (default 300)
  --timeout S           give up after S seconds (default: wait)
Other:
  --expect FILE         compare the received records with this program record file
  --digest FILE         print FILE's records, bytes and digest, and exit
  --quiet               no progress lines on stderr
  --help

TEXT takes the escapes \n \r \t \\ \0 \xHH.
)";
}

bool parse_command_line(const std::vector<std::string>& args, CliOptions* out, std::string* error) {
    TargetConfig& c = out->config;
    using ms = std::chrono::milliseconds;
    bool pty_given = false;

    auto number = [&](const std::string& opt, const std::string& v, long lo, long hi, long* n) {
        if (!to_long(v, n) || *n < lo || *n > hi) {
            *error = opt + ": bad number " + v;
            return false;
        }
        return true;
    };
    auto text = [&](const std::string& opt, const std::string& v, std::string* t) {
        if (!unescape(v, t)) {
            *error = opt + ": bad escape in " + v;
            return false;
        }
        return true;
    };
    auto indexed = [&](const std::string& opt, const std::string& v, bool rest_required, int* k, std::string* rest) {
        if (!split_index(v, k, rest, rest_required)) {
            *error = opt + ": expected K" + (rest_required ? ":VALUE" : "") + ", got " + v;
            return false;
        }
        return true;
    };

    using Handler = std::function<bool(const std::string& opt, const std::string& v)>;
    struct Opt {
        bool takes_value;
        Handler handle;
    };
    std::map<std::string, Opt> opts = {
        {"--pty", {false, [&](auto&, auto&) { return pty_given = true; }}},
        {"--link", {true, [&](auto&, auto& v) { c.link_path = v; return true; }}},
        {"--device", {true, [&](auto&, auto& v) { c.device_path = v; return true; }}},
        {"--baud", {true, [&](auto& o, auto& v) { return number(o, v, 1, 100000000, &c.baud); }}},
        {"--line-rate", {false, [&](auto&, auto&) { return c.line_rate = true; }}},
        {"--id", {true, [&](auto& o, auto& v) {
             long n = 0;
             if (!number(o, v, -2147483647L - 1, 2147483647L, &n)) return false;
             c.id = static_cast<int>(n);
             return true;
         }}},
        {"--ack-after", {true, [&](auto& o, auto& v) {
             long n = 0;
             if (!number(o, v, 1, 1000000, &n)) return false;
             c.ack_after_passwords = static_cast<int>(n);
             return true;
         }}},
        {"--no-ack", {false, [&](auto&, auto&) { return c.never_ack = true; }}},
        {"--ack-text", {true, [&](auto& o, auto& v) { return text(o, v, &c.ack_text); }}},
        {"--junk-before-ack", {true, [&](auto& o, auto& v) { return text(o, v, &c.junk_before_ack); }}},
        {"--ack-interleave", {true, [&](auto& o, auto& v) { return text(o, v, &c.ack_interleave); }}},
        {"--ack-split", {true, [&](auto& o, auto& v) {
             long n = 0;
             if (!number(o, v, 0, 600000, &n)) return false;
             c.ack_byte_delay = ms(n);
             return true;
         }}},
        {"--g-before-ack", {false, [&](auto&, auto&) { return c.g_before_ack = true; }}},
        {"--g-delay", {true, [&](auto& o, auto& v) {
             long n = 0;
             if (!number(o, v, 0, 600000, &n)) return false;
             c.g_delay = ms(n);
             return true;
         }}},
        {"--no-g", {false, [&](auto&, auto&) { return c.never_g = true; }}},
        {"--early-h", {false, [&](auto&, auto&) { return c.early_h = true; }}},
        {"--loader-out", {true, [&](auto&, auto& v) { c.loader_out = v; return true; }}},
        {"--image-out", {true, [&](auto&, auto& v) { c.image_out = v; return true; }}},
        {"--keep-going-after-e", {false, [&](auto&, auto&) { c.stop_at_e = false; return true; }}},
        {"--resend-after", {true, [&](auto& o, auto& v) {
             int k; std::string rest;
             if (!indexed(o, v, false, &k, &rest)) return false;
             c.actions[k].push_back(RecordAction::resend());
             return true;
         }}},
        {"--speed-after", {true, [&](auto& o, auto& v) {
             int k; std::string rest; long baud = 0;
             if (!indexed(o, v, true, &k, &rest) || !number(o, rest, 1, 100000000, &baud)) return false;
             c.actions[k].push_back(RecordAction::speed(baud));
             return true;
         }}},
        {"--speed-line-after", {true, [&](auto& o, auto& v) {
             int k; std::string rest, line; long baud = 0;
             if (!indexed(o, v, true, &k, &rest)) return false;
             size_t colon = rest.find(':');
             if (colon == std::string::npos) {
                 *error = o + ": expected K:BAUD:TEXT, got " + v;
                 return false;
             }
             if (!number(o, rest.substr(0, colon), 1, 100000000, &baud) || !text(o, rest.substr(colon + 1), &line))
                 return false;
             c.actions[k].push_back(RecordAction::speed_line(baud, line));
             return true;
         }}},
        {"--message-after", {true, [&](auto& o, auto& v) {
             int k; std::string rest, t;
             if (!indexed(o, v, true, &k, &rest) || !text(o, rest, &t)) return false;
             c.actions[k].push_back(RecordAction::message(t));
             return true;
         }}},
        {"--erase-list-after", {true, [&](auto& o, auto& v) {
             int k; std::string rest;
             if (!indexed(o, v, false, &k, &rest)) return false;
             c.actions[k].push_back(RecordAction::erase_list());
             return true;
         }}},
        {"--pause-after", {true, [&](auto& o, auto& v) {
             int k; std::string rest;
             if (!indexed(o, v, false, &k, &rest)) return false;
             c.actions[k].push_back(RecordAction::pause());
             return true;
         }}},
        {"--flash-type-after", {true, [&](auto& o, auto& v) {
             int k; std::string rest;
             if (!indexed(o, v, true, &k, &rest)) return false;
             if (rest != "0" && rest != "1" && rest != "2") {
                 *error = o + ": the type is 0, 1 or 2, got " + rest;
                 return false;
             }
             c.actions[k].push_back(RecordAction::flash_type(rest[0]));
             return true;
         }}},
        {"--error-after", {true, [&](auto& o, auto& v) {
             int k; std::string rest;
             if (!indexed(o, v, true, &k, &rest)) return false;
             char code = rest.empty() ? 0 : rest[0];
             char detail = '1';
             bool ok = code == 'N' || code == 'E' || code == 'e';
             if (ok && rest.size() > 1) {
                 std::string d;
                 ok = code == 'N' && rest[1] == ':' && unescape(rest.substr(2), &d) && d.size() == 1;
                 if (ok) detail = d[0];
             }
             if (!ok) {
                 *error = o + ": expected K:N[:D], K:E or K:e, got " + v;
                 return false;
             }
             c.actions[k].push_back(RecordAction::error(code, detail));
             return true;
         }}},
        {"--junk-after", {true, [&](auto& o, auto& v) {
             int k; std::string rest, t;
             if (!indexed(o, v, true, &k, &rest) || !text(o, rest, &t)) return false;
             c.actions[k].push_back(RecordAction::junk(t));
             return true;
         }}},
        {"--silent-after", {true, [&](auto& o, auto& v) {
             int k; std::string rest;
             if (!indexed(o, v, false, &k, &rest)) return false;
             c.actions[k].push_back(RecordAction::silent());
             return true;
         }}},
        {"--hang-after", {true, [&](auto& o, auto& v) {
             int k; std::string rest;
             if (!indexed(o, v, false, &k, &rest)) return false;
             c.actions[k].push_back(RecordAction::hang());
             return true;
         }}},
        {"--boards", {true, [&](auto& o, auto& v) {
             long n = 0;
             if (!number(o, v, 1, 100000, &n)) return false;
             c.boards = static_cast<int>(n);
             return true;
         }}},
        {"--swap-at", {true, [&](auto& o, auto& v) {
             int b; std::string rest; long k = 0;
             if (!indexed(o, v, true, &b, &rest) || b < 1 || !number(o, rest, 0, 1000000, &k)) {
                 *error = o + ": expected B:K, a board from 1 and a record from 0, got " + v;
                 return false;
             }
             c.swap_after[b] = static_cast<int>(k);
             return true;
         }}},
        {"--swap-delay", {true, [&](auto& o, auto& v) {
             long n = 0;
             if (!number(o, v, 0, 600000, &n)) return false;
             c.swap_delay = ms(n);
             return true;
         }}},
        {"--lines-dir", {true, [&](auto&, auto& v) { c.lines_folder = v; return true; }}},
        {"--reset-line", {true, [&](auto& o, auto& v) {
             if (v != "dtr" && v != "rts") {
                 *error = o + ": dtr or rts, got " + v;
                 return false;
             }
             c.reset_line = v == "dtr" ? ResetLine::Dtr : ResetLine::Rts;
             return true;
         }}},
        {"--replug-after", {true, [&](auto& o, auto& v) {
             int k; std::string rest;
             if (!indexed(o, v, false, &k, &rest)) return false;
             c.actions[k].push_back(RecordAction::replug());
             return true;
         }}},
        {"--replug-at", {true, [&](auto& o, auto& v) {
             LinePull pull;
             if (!parse_pull(v, &pull)) {
                 *error = o + ": expected password:N[:MS], before-go[:MS], after-go[:MS], loader:N, ready:K[:MS] or "
                              "record:K:BYTES, got " + v;
                 return false;
             }
             c.pulls.push_back(pull);
             return true;
         }}},
        {"--gap-timeout", {true, [&](auto& o, auto& v) {
             long n = 0;
             if (!number(o, v, 1, 3600000, &n)) return false;
             c.byte_gap_timeout = ms(n);
             return true;
         }}},
        {"--replug-delay", {true, [&](auto& o, auto& v) {
             long n = 0;
             if (!number(o, v, 0, 600000, &n)) return false;
             c.replug_unplugged = ms(n);
             return true;
         }}},
        {"--timeout", {true, [&](auto& o, auto& v) {
             long n = 0;
             if (!number(o, v, 0, 86400, &n)) return false;
             out->timeout_s = static_cast<int>(n);
             return true;
         }}},
        {"--expect", {true, [&](auto&, auto& v) { out->expect_file = v; return true; }}},
        {"--digest", {true, [&](auto&, auto& v) { out->digest_file = v; return true; }}},
        {"--quiet", {false, [&](auto&, auto&) { return out->quiet = true; }}},
        {"--help", {false, [&](auto&, auto&) { return out->help = true; }}},
        {"-h", {false, [&](auto&, auto&) { return out->help = true; }}},
    };

    for (size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::string value;
        bool inline_value = false;
        size_t eq = name.find('=');
        if (name.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = name.substr(eq + 1);
            name = name.substr(0, eq);
            inline_value = true;
        }
        auto it = opts.find(name);
        if (it == opts.end()) {
            *error = "unknown option " + args[i];
            return false;
        }
        if (it->second.takes_value && !inline_value) {
            if (i + 1 >= args.size()) {
                *error = name + " needs a value";
                return false;
            }
            value = args[++i];
        } else if (!it->second.takes_value && inline_value) {
            *error = name + " takes no value";
            return false;
        }
        if (!it->second.handle(name, value)) return false;
    }

    if (pty_given && !c.device_path.empty()) {
        *error = "--pty and --device exclude each other";
        return false;
    }
    bool replug = !c.pulls.empty();
    for (const auto& [k, list] : c.actions)
        for (const RecordAction& a : list) replug = replug || a.kind == RecordAction::Replug;
    if (replug && (c.link_path.empty() || !c.device_path.empty())) {
        *error = "--replug-after and --replug-at need a pty published with --link";
        return false;
    }
    if (!c.link_path.empty() && !c.device_path.empty()) {
        *error = "--link is for a pty only";
        return false;
    }
    if (!c.swap_after.empty() && c.swap_after.rbegin()->first > c.boards) {
        *error = "--swap-at names board " + std::to_string(c.swap_after.rbegin()->first) + " of " +
                 std::to_string(c.boards) + " (--boards)";
        return false;
    }
    if (c.reset_line != ResetLine::None && !c.device_path.empty()) {
        *error = "--reset-line needs a pty: the stand-in gives a pty its modem lines";
        return false;
    }
    return true;
}

void lines_folder_from_environment(CliOptions* options) {
    const char* folder = std::getenv("FWLD_MODEM_LINES");
    if (options->config.lines_folder.empty() && options->config.device_path.empty() && folder != nullptr)
        options->config.lines_folder = folder;
}

namespace {

std::string at_ms(double ms) {
    char text[48];
    std::snprintf(text, sizeof text, "%+.3f ms", ms);
    return text;
}

// The tool's lines and the moments they are checked against, in ms since
// the target started.
std::string lines_text(const TargetReport& r) {
    std::string s = "lines:";
    for (size_t i = 0; i < r.lines.size(); ++i)
        s += (i ? ", " : " ") + r.lines[i].line + (r.lines[i].on ? " on " : " off ") + at_ms(r.lines[i].ms);
    s += r.lines.empty() ? " none\n" : "\n";
    if (r.woken_ms >= 0) s += "woken by the line at: " + at_ms(r.woken_ms) + "\n";
    if (r.bytes_before_woken) s += "bytes before woken: " + std::to_string(r.bytes_before_woken) + "\n";
    if (r.reset_ms >= 0) s += "reset sentence at: " + at_ms(r.reset_ms) + "\n";
    if (r.last_record_ms() >= 0) s += "last record at: " + at_ms(r.last_record_ms()) + "\n";
    return s;
}

}  // namespace

bool board_ok(const TargetReport& r, const RecordList* expected) {
    if (r.swapped_after >= 0) return r.swapped_out_clean(expected);
    return r.intact() && (expected == nullptr || r.matches(*expected));
}

std::string fixture_summary_text(const std::vector<TargetReport>& reports, int boards, const RecordList* expected) {
    std::string s;
    int intact = 0, taken_out = 0, failed = 0;
    for (const TargetReport& r : reports) {
        s += "board: " + std::to_string(r.board) + "\n" + summary_text(r, expected);
        if (r.swapped_after >= 0 && board_ok(r, expected))
            ++taken_out;
        else if (board_ok(r, expected))
            ++intact;
        else
            ++failed;
    }
    const int missing = boards - static_cast<int>(reports.size());
    s += "fixture: " + std::to_string(boards) + " boards, " + std::to_string(intact) + " intact, " +
         std::to_string(taken_out) + " taken out, " + std::to_string(failed) + " failed, " +
         std::to_string(missing) + " never in\n";
    return s;
}

std::string summary_text(const TargetReport& r, const RecordList* expected) {
    std::string s;
    size_t resends = r.records.size() - r.record_count;
    s += "records: " + std::to_string(r.record_count) + "\n";
    s += "bytes: " + std::to_string(r.record_bytes) + "\n";
    s += "digest: " + r.digest + "\n";
    s += "loader records: " + std::to_string(r.loader_records.size()) + "\n";
    s += std::string("end marker: ") + (!r.end_marker_seen ? "missing" : r.end_marker_ok ? "ok" : "bad") + "\n";
    s += "resends: " + std::to_string(resends) + "\n";
    for (const std::string& z : r.erase_list_replies) {
        std::string shown;
        for (char ch : z) shown += (ch >= 0x20 && ch < 0x7f) ? std::string(1, ch) : std::string("?");
        s += "erase list: \"" + shown + "\"\n";
    }
    if (r.replugs) s += "replugs: " + std::to_string(r.replugs) + "\n";
    if (r.records_cut) s += "records cut by a replug: " + std::to_string(r.records_cut) + "\n";
    if (r.bytes_after_end) s += "bytes after the end: " + std::to_string(r.bytes_after_end) + "\n";
    if (r.bytes_while_empty) s += "bytes while no board was in: " + std::to_string(r.bytes_while_empty) + "\n";
    if (r.bytes_before_reset) s += "bytes before the reset sentence: " + std::to_string(r.bytes_before_reset) + "\n";
    if (r.ended_by_action) s += "ended by the script\n";
    if (r.hung) s += "hung: " + std::to_string(r.bytes_while_hung) + " byte(s) dropped since\n";
    if (r.swapped_after >= 0) s += "taken out after record: " + std::to_string(r.swapped_after) + "\n";
    if (r.lines_heard) s += lines_text(r);
    // From the first record's arrival to the last's, resends included.
    if (r.records.size() >= 2 && r.records.back().ms > r.records.front().ms) {
        char rate[64];
        std::snprintf(rate, sizeof rate, "records per second: %.1f\n",
                      static_cast<double>(r.records.size() - 1) * 1000.0 / (r.records.back().ms - r.records.front().ms));
        s += rate;
    }
    for (const std::string& e : r.framing_errors) s += "error: " + e + "\n";
    const bool taken_out = r.swapped_after >= 0 && r.swapped_out_clean(expected);
    s += std::string("verdict: ") + (r.intact() ? "intact" : taken_out ? "taken out" : "NOT intact") + "\n";
    if (expected) {
        if (r.image_records() == expected->records)
            s += "expected: match\n";
        else if (taken_out)
            s += "expected: the first " + std::to_string(r.record_count) + " match\n";
        else
            s += "expected: MISMATCH (expected " + std::to_string(expected->records.size()) + " records, " +
                 std::to_string(expected->byte_count()) + " bytes, digest " + expected->digest() + ")\n";
    }
    return s;
}

}  // namespace sim

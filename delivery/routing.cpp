// Having the modem pass status reports on to the run, and giving its own
// setting back: AT+CNMI=<mode>,<mt>,<bm>,<ds>,<bfr> (3GPP TS 27.005 3.4.1).
// Only <ds> and, if need be, <mode> change: another <mt> would lose an SMS
// that arrives meanwhile, another <bm> cell broadcasts, another <bfr> the
// unsolicited lines the modem holds for whoever comes next.
#include "delivery.h"

#include "base.h"
#include "report.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <syslog.h>

namespace {

constexpr const char *kReadRouting = "AT+CNMI?\r";
constexpr const char *kTestRouting = "AT+CNMI=?\r";
constexpr std::string_view kRoutingAnswer = "+CNMI:";
enum Field : std::size_t { kMode, kMt, kBm, kDs, kBfr };
constexpr std::size_t kLeastFields = kDs + 1;  // up to <ds>: <bfr> may be left out
// <mode> 0 keeps unsolicited lines in the modem. 2 holds them while the
// line carries data and passes them on after; 1 drops them then; 3 passes
// them inside the data: in this order of preference.
constexpr int kModeKept = 0;
constexpr std::array<int, 3> kPassingModes = {2, 1, 3};
constexpr int kDsReports = 1;  // SMS-STATUS-REPORTs routed to the terminal as +CDS

constexpr const char *kMsgNoRoutingFormat = "The modem%s%s cannot pass delivery reports on: %s.";
constexpr const char *kMsgNotRestoredFormat =
    "The modem%s%s did not take back its own setting for delivery reports: %s.";
constexpr const char *kSetFormat = "AT+CNMI=%d,%d,%d,%d";

using Text = std::array<char, kCommandBufferSize>;

// What a reply said, for a line that quotes it.
Text describe(const char *command, const Reply &reply)
{
    Text text{};
    const std::string_view name(command, std::strlen(command) - 1);  // without its CR
    const std::string_view said =
        reply.verdict == Verdict::error ? reply.result.view() : reply.info.view();
    if (reply.verdict == Verdict::none)
        std::snprintf(text.data(), text.size(), "no answer to %.*s", static_cast<int>(name.size()),
                      name.data());
    else if (said.empty())
        std::snprintf(text.data(), text.size(), "%.*s answered OK alone",
                      static_cast<int>(name.size()), name.data());
    else
        std::snprintf(text.data(), text.size(), "%.*s answered \"%.*s\"",
                      static_cast<int>(name.size()), name.data(), static_cast<int>(said.size()),
                      said.data());
    return text;
}

// The top-level fields of "+CNMI: 2,1,0,0,0" or "+CNMI: (0-3),(0,1),...".
std::size_t split_fields(std::string_view line, std::span<std::string_view, kRoutingFields> out)
{
    line.remove_prefix(std::min(line.size(), kRoutingAnswer.size()));
    std::size_t count = 0;
    int depth = 0;
    std::size_t from = 0;
    for (std::size_t i = 0; i <= line.size() && count < out.size(); ++i) {
        const char c = i < line.size() ? line[i] : ',';
        depth += c == '(' ? 1 : c == ')' ? -1 : 0;
        if (c == ',' && depth <= 0) {
            out[count++] = trim_blanks({line.data() + from, i - from});
            from = i + 1;
        }
    }
    return count;
}

bool read_number(std::string_view text, int &value)
{
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc{} && end == text.data() + text.size();
}

// Whether a list of the test command's answer, "(0-3)", "(0,1,2)" or
// "2", holds `value`.
bool offers(std::string_view list, int value)
{
    while (!list.empty() && (list.front() == '(' || list.back() == ')'))
        list = list.front() == '(' ? slice(list, 1) : slice(list, 0, list.size() - 1);
    for (std::size_t from = 0; from <= list.size();) {
        const std::size_t comma = std::min(list.find(',', from), list.size());
        const std::string_view item = trim_blanks(slice(list, from, comma - from));
        const std::size_t dash = item.find('-');
        int first = 0;
        int last = 0;
        const bool single = dash == std::string_view::npos && read_number(item, first);
        const bool range = dash != std::string_view::npos &&
                           read_number(slice(item, 0, dash), first) &&
                           read_number(slice(item, dash + 1), last);
        if ((single && value == first) || (range && value >= first && value <= last))
            return true;
        from = comma + 1;
    }
    return false;
}

// "AT+CNMI=<mode>,<mt>,<bm>,<ds>[,<bfr>]\r" with as many fields as found.
Text set_command(const std::array<int, kRoutingFields> &f, std::size_t fields)
{
    Text command{};
    int n =
        std::snprintf(command.data(), command.size(), kSetFormat, f[kMode], f[kMt], f[kBm], f[kDs]);
    if (fields > kBfr)
        n += std::snprintf(command.data() + n, command.size() - static_cast<std::size_t>(n), ",%d",
                           f[kBfr]);
    std::snprintf(command.data() + n, command.size() - static_cast<std::size_t>(n), "\r");
    return command;
}

// A question, answered "+CNMI: ..." and OK; a setting, answered OK alone.
Exchange asking(const DialogueTimeouts &t, bool question)
{
    Exchange exchange = {Awaited::ok, t.prompt_seconds, 2 * t.prompt_seconds};
    exchange.info = question ? kRoutingAnswer : std::string_view{};
    return exchange;
}

// " <device>" in a pool of several modems.
const char *device_of(const Delivery &d)
{
    const char *device = device_named(d);
    return device != nullptr ? device : "";
}

// Says once for this modem that it cannot pass reports on, and why.
void cannot_route(Delivery &d, const Text &why)
{
    ModemState &modem = d.modem_states[d.modem];
    if (!modem.no_reports)
        report(LOG_ERR, kMsgNoRoutingFormat, *device_of(d) != '\0' ? " " : "", device_of(d),
               why.data());
    modem.no_reports = true;
}

}  // namespace

bool route_reports(int fd, Delivery &d, const DialogueTimeouts &t)
{
    d.routing = Routing{};
    d.routing.asked = true;
    const Reply setting = at_command(fd, kReadRouting, asking(t, true));
    if (setting.interrupted)
        return false;
    std::array<std::string_view, kRoutingFields> found{};
    const std::size_t fields = split_fields(setting.info.view(), found);
    bool read = setting.verdict == Verdict::answer && fields >= kLeastFields;
    for (std::size_t i = 0; read && i < fields; ++i)
        read = read_number(found[i], d.routing.found[i]);
    if (!read) {
        cannot_route(d, describe(kReadRouting, setting));
        return true;
    }
    d.routing.fields = fields;
    const Reply offered = at_command(fd, kTestRouting, asking(t, true));
    if (offered.interrupted)
        return false;
    std::array<std::string_view, kRoutingFields> lists{};
    const bool listed = offered.verdict == Verdict::answer &&
                        split_fields(offered.info.view(), lists) >= kLeastFields;
    std::array<int, kRoutingFields> wanted = d.routing.found;
    wanted[kDs] = kDsReports;
    if (wanted[kMode] == kModeKept) {
        const auto *mode = std::find_if(kPassingModes.begin(), kPassingModes.end(),
                                        [&](int m) { return offers(lists[kMode], m); });
        wanted[kMode] = mode != kPassingModes.end() ? *mode : kModeKept;
    }
    if (!listed || !offers(lists[kDs], kDsReports) || wanted[kMode] == kModeKept) {
        cannot_route(d, describe(kTestRouting, offered));
        return true;
    }
    if (wanted == d.routing.found) {  // it passes them on already: nothing to give back
        d.routing.routed = true;
        return true;
    }
    const Text command = set_command(wanted, fields);
    const Reply set = at_command(fd, command.data(), asking(t, false));
    if (set.interrupted)
        return false;
    // Unanswered, it may have taken effect all the same: given back anyway.
    d.routing.changed = set.verdict != Verdict::error;
    d.routing.routed = set.verdict == Verdict::answer;
    if (!d.routing.routed)
        cannot_route(d, describe(command.data(), set));
    return true;
}

void restore_routing(int fd, Delivery &d, const DialogueTimeouts &t)
{
    if (d.routing.changed) {
        const Text command = set_command(d.routing.found, d.routing.fields);
        Exchange back = asking(t, false);
        back.after_stop = true;
        const Reply reply = at_command(fd, command.data(), back);
        if (reply.verdict != Verdict::answer)
            report(LOG_WARNING, kMsgNotRestoredFormat, *device_of(d) != '\0' ? " " : "",
                   device_of(d), describe(command.data(), reply).data());
    }
    collect_reports(d);
    for (std::size_t who = 0; who < d.numbers.size(); ++who) {
        RecipientState &r = d.recipients[who];
        if (r.accepted > 0 && r.accepted_on == d.modem && !r.report.final)
            r.report.left = true;
    }
    d.routing = Routing{};
}

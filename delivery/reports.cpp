// Waiting for the status reports: each one matched to the part it answers,
// its status judged by the policy, recorded and logged as it says; at the
// wait's end, the recipients whose delivery no report confirmed.
#include "delivery.h"

#include "base.h"
#include "report.h"

#include <algorithm>
#include <cstdio>
#include <syslog.h>

namespace {

constexpr const char *kMsgDeliveredFormat = "SMS to %s delivered at %s%s%s%s.";
constexpr const char *kMsgTryingFormat =
    "SMS to %s not delivered yet: %s; the service centre keeps trying.";
constexpr const char *kMsgNotDeliveredFormat = "SMS to %s not delivered: %s (status 0x%02X).";
constexpr const char *kMsgNotConfirmedFormat = "SMS to %s not confirmed: %s.";
constexpr const char *kMsgNoReportFormat = "no delivery report in %d s";
constexpr const char *kWhyNoRouting = "the modem cannot pass delivery reports on";
constexpr const char *kWhyNoReference = "the modem gave no message reference to match a report to";
constexpr const char *kWhyLeft = "the port was given back before a delivery report came";
// A national number's significant digits, at the end of an international
// one, must be at least this many to count as the same number.
constexpr std::size_t kMinNationalDigits = 6;
constexpr std::string_view kInternationalPrefix = "00";

std::string_view without_plus(std::string_view number)
{
    return number.starts_with('+') ? slice(number, 1) : number;
}

// Whether a report's TP-RA is the number as given: digit for digit, a '+'
// being only its type of number; or, reported in international form, the
// same number given with "00" before the country code, or national with
// its trunk "0".
bool same_number(std::string_view given, const StatusReport &got)
{
    given = without_plus(given);
    const std::string_view reported = without_plus(got.recipient.data());
    if (reported.empty())
        return false;  // letters: never a number we sent to
    if (given == reported)
        return true;
    if (!got.international)
        return false;
    if (given.starts_with(kInternationalPrefix))
        return slice(given, kInternationalPrefix.size()) == reported;
    const std::string_view national = slice(given, 1);
    return given.starts_with('0') && national.size() >= kMinNationalDigits &&
           reported.size() > national.size() && reported.ends_with(national);
}

bool referenced(const RecipientState &r)
{
    const auto parts = std::span(r.references).first(std::min<std::size_t>(r.accepted, kMaxParts));
    return std::all_of(parts.begin(), parts.end(), [](int reference) { return reference >= 0; });
}

// A part of `r` sent through the modem in use waits for a report that can
// still come.
bool awaits(const Delivery &d, const RecipientState &r)
{
    return r.accepted > 0 && !r.failed && !r.report.final && !r.report.left &&
           r.accepted_on == d.modem && referenced(r);
}

// The part of recipient `who` that a report answers: sent through the
// modem in use, its "+CMGS: <mr>" the report's TP-MR, the recipient's
// number its TP-RA. -1: none.
int part_of(const Delivery &d, std::size_t who, const StatusReport &got)
{
    const RecipientState &r = d.recipients[who];
    if (r.failed || r.report.final || r.accepted_on != d.modem || !same_number(d.numbers[who], got))
        return -1;
    for (unsigned k = 0; k < r.accepted && k < kMaxParts; ++k) {
        if (r.references[k] == got.reference)
            return static_cast<int>(k);
    }
    return -1;
}

// The recipient fails as the decision says: its failure stands last.
void fail(Delivery &d, RecipientState &r, const ReportDecision &decision)
{
    r.failed = true;
    r.standing = decision.outcome;
    r.standing_order = ++d.failures;
}

void record_report(Delivery &d, std::size_t who, unsigned part, const StatusReport &got)
{
    RecipientState &r = d.recipients[who];
    const ReportDecision decision = decide_report(got.status, r.report.told);
    const char *number = d.numbers[who];
    switch (decision.fate) {
    case Fate::still_trying:
        if (decision.tell)
            report(LOG_INFO, kMsgTryingFormat, number, status_meaning(got.status));
        r.report.told = true;
        return;
    case Fate::delivered: {
        r.report.delivered[part] = true;
        if (decision.noted && r.report.noted < 0)
            r.report.noted = got.status;
        const auto parts = std::span(r.report.delivered).first(r.accepted);
        if (!r.settled || !std::all_of(parts.begin(), parts.end(), [](bool done) { return done; }))
            return;
        r.report.final = true;
        std::array<char, kTimeStampText> when{};
        format_time_stamp(got.discharge, when);
        const bool noted = r.report.noted >= 0;
        report(LOG_INFO, kMsgDeliveredFormat, number, when.data(), noted ? " (" : "",
               noted ? status_meaning(static_cast<std::uint8_t>(r.report.noted)) : "",
               noted ? ")" : "");
        return;
    }
    case Fate::not_delivered:
    case Fate::not_confirmed:
        break;
    }
    r.report.final = decision.final;
    fail(d, r, decision);
    if (decision.tell)
        report(LOG_ERR, kMsgNotDeliveredFormat, number, status_meaning(got.status), got.status);
}

}  // namespace

void collect_reports(Delivery &d)
{
    StatusLine line;
    while (d.report_seconds > 0 && take_status_line(line)) {  // none asked for: none counts
        // A cut line keeps every field read, but not the length to check.
        const StatusReport got = decode_status_report(line.view(), line.cut ? 0 : line.announced);
        for (std::size_t who = 0; got.valid && who < d.numbers.size(); ++who) {
            if (const int part = part_of(d, who, got); part >= 0) {
                record_report(d, who, static_cast<unsigned>(part), got);
                break;
            }
        }
    }
}

bool reports_due(const Delivery &d)
{
    const auto recipients = std::span(d.recipients).first(d.numbers.size());
    return d.routing.routed && std::any_of(recipients.begin(), recipients.end(),
                                           [&](const RecipientState &r) { return awaits(d, r); });
}

bool await_reports(int fd, Delivery &d, long long until)
{
    collect_reports(d);
    while (reports_due(d)) {
        const Heard heard = listen_unsolicited(fd, until);
        if (heard == Heard::stopped)
            return false;
        collect_reports(d);
        if (heard == Heard::failed)
            d.routing.routed = false;  // the line is gone: nothing more can come on it
        if (heard != Heard::report)
            break;
    }
    return true;
}

void settle_reports(Delivery &d)
{
    if (d.report_seconds == 0)
        return;
    for (std::size_t who = 0; who < d.numbers.size(); ++who) {
        RecipientState &r = d.recipients[who];
        if (!r.settled || r.failed || r.report.final)
            continue;  // not sent, or its fate told already
        std::array<char, kReportSize> why{};
        if (d.modem_states[r.accepted_on].no_reports)
            std::snprintf(why.data(), why.size(), "%s", kWhyNoRouting);
        else if (!referenced(r))
            std::snprintf(why.data(), why.size(), "%s", kWhyNoReference);
        else if (r.report.left)
            std::snprintf(why.data(), why.size(), "%s", kWhyLeft);
        else
            std::snprintf(why.data(), why.size(), kMsgNoReportFormat, d.report_seconds);
        const ReportDecision decision = decide_report(-1, r.report.told);
        fail(d, r, decision);
        if (decision.tell)
            report(LOG_ERR, kMsgNotConfirmedFormat, d.numbers[who], why.data());
    }
}

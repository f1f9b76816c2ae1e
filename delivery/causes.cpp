// What a modem's error says: the codes of
// +CMS ERROR (3GPP TS 27.005 3.2.5: RP causes of TS 24.011 annex E-2 below
// 128, TP-FCS of TS 23.040 9.2.3.22 from 128, the ME's own from 300) and
// +CME ERROR (TS 27.007 9.2). Whatever is not listed as fatal or as the
// recipient's is taken as temporary: a duplicate alarm is better than a
// lost one.
#include "policy.h"

#include "at.h"
#include "base.h"

#include <charconv>

namespace {

enum class Family { cms, cme };

struct FailureRule {
    Family family;
    int first;
    int last;
    FailureKind kind;
    const char *meaning;
    bool theirs = false;  // a passing cause on the recipient's side
};

constexpr FailureKind kTemporary = FailureKind::temporary;
constexpr FailureKind kRecipient = FailureKind::recipient;
constexpr FailureKind kFatal = FailureKind::fatal;

}  // namespace

// Code (or range) -> kind -> meaning, in the order of the standards.
static const FailureRule kFailureRules[] = {
    {Family::cms, 1, 1, kRecipient, "unassigned number"},
    {Family::cms, 8, 8, kFatal, "operator determined barring"},
    {Family::cms, 10, 10, kRecipient, "call barred"},
    {Family::cms, 21, 21, kRecipient, "short message transfer rejected"},
    {Family::cms, 27, 27, kTemporary, "destination out of order", true},
    {Family::cms, 28, 28, kFatal, "unidentified subscriber"},
    {Family::cms, 29, 29, kRecipient, "facility rejected"},
    {Family::cms, 30, 30, kRecipient, "unknown subscriber"},
    {Family::cms, 38, 38, kTemporary, "network out of order"},
    {Family::cms, 41, 41, kTemporary, "temporary failure"},
    {Family::cms, 42, 42, kTemporary, "congestion"},
    {Family::cms, 47, 47, kTemporary, "resources unavailable"},
    {Family::cms, 50, 50, kFatal, "requested facility not subscribed"},
    {Family::cms, 96, 96, kRecipient, "invalid mandatory information"},
    {Family::cms, 128, 143, kRecipient, "protocol identifier not supported"},
    {Family::cms, 144, 159, kRecipient, "data coding scheme not supported"},
    {Family::cms, 160, 175, kRecipient, "command not supported"},
    {Family::cms, 176, 176, kRecipient, "TPDU not supported"},
    {Family::cms, 177, 191, kRecipient, "reserved"},
    {Family::cms, 192, 192, kTemporary, "SC busy"},
    {Family::cms, 193, 193, kFatal, "no SC subscription"},
    {Family::cms, 194, 194, kTemporary, "SC system failure"},
    {Family::cms, 195, 195, kRecipient, "invalid SME address"},
    {Family::cms, 196, 196, kRecipient, "destination SME barred"},
    {Family::cms, 197, 197, kTemporary, "duplicate message rejected", true},
    {Family::cms, 198, 199, kRecipient, "validity period not supported"},
    {Family::cms, 300, 300, kTemporary, "ME failure"},
    {Family::cms, 302, 302, kFatal, "operation not allowed"},
    {Family::cms, 303, 303, kFatal, "operation not supported"},
    {Family::cms, 304, 304, kRecipient, "invalid PDU mode parameter"},
    {Family::cms, 305, 305, kFatal, "invalid text mode parameter"},
    {Family::cms, 310, 310, kFatal, "SIM not inserted"},
    {Family::cms, 311, 311, kFatal, "SIM PIN required"},
    {Family::cms, 312, 312, kFatal, "PH-SIM PIN required"},
    {Family::cms, 313, 313, kFatal, "SIM failure"},
    {Family::cms, 314, 314, kTemporary, "SIM busy"},
    {Family::cms, 315, 315, kFatal, "SIM wrong"},
    {Family::cms, 316, 316, kFatal, "SIM PUK required"},
    {Family::cms, 317, 317, kFatal, "SIM PIN2 required"},
    {Family::cms, 318, 318, kFatal, "SIM PUK2 required"},
    {Family::cms, 330, 330, kFatal, "SMSC address unknown"},
    {Family::cms, 331, 331, kTemporary, "no network service"},
    {Family::cms, 332, 332, kTemporary, "network timeout"},
    {Family::cms, 500, 500, kTemporary, "unknown error"},
    {Family::cms, 512, 0x7fffffff, kTemporary, "manufacturer specific"},
    {Family::cme, 3, 3, kFatal, "operation not allowed"},
    {Family::cme, 4, 4, kFatal, "operation not supported"},
    {Family::cme, 5, 5, kFatal, "PH-SIM PIN required"},
    {Family::cme, 6, 6, kFatal, "PH-FSIM PIN required"},
    {Family::cme, 7, 7, kFatal, "PH-FSIM PUK required"},
    {Family::cme, 10, 10, kFatal, "SIM not inserted"},
    {Family::cme, 11, 11, kFatal, "SIM PIN required"},
    {Family::cme, 12, 12, kFatal, "SIM PUK required"},
    {Family::cme, 13, 13, kFatal, "SIM failure"},
    {Family::cme, 14, 14, kTemporary, "SIM busy"},
    {Family::cme, 15, 15, kFatal, "SIM wrong"},
    {Family::cme, 16, 16, kFatal, "incorrect password"},
    {Family::cme, 17, 17, kFatal, "SIM PIN2 required"},
    {Family::cme, 18, 18, kFatal, "SIM PUK2 required"},
    {Family::cme, 24, 24, kRecipient, "text string too long"},
    {Family::cme, 25, 25, kRecipient, "invalid characters in text string"},
    {Family::cme, 26, 26, kRecipient, "dial string too long"},
    {Family::cme, 27, 27, kRecipient, "invalid characters in dial string"},
    {Family::cme, 30, 30, kTemporary, "no network service"},
    {Family::cme, 31, 31, kTemporary, "network timeout"},
    {Family::cme, 40, 47, kFatal, "personalisation PIN or PUK required"},
    {Family::cme, 56, 56, kRecipient, "not a fixed dialling number"},
    {Family::cme, 62, 62, kRecipient, "call barred"},
    {Family::cme, 100, 100, kTemporary, "unknown error"},
    {Family::cme, 103, 103, kFatal, "illegal MS"},
    {Family::cme, 106, 106, kFatal, "illegal ME"},
    {Family::cme, 111, 111, kFatal, "PLMN not allowed"},
    {Family::cme, 112, 112, kFatal, "location area not allowed"},
    {Family::cme, 113, 113, kFatal, "roaming not allowed in this location area"},
    {Family::cme, 512, 0x7fffffff, kTemporary, "manufacturer specific"},
};

Cause classify_answer(std::string_view line)
{
    Cause cause = {FailureKind::temporary, line, "", -1};
    Family family = Family::cms;
    std::string_view rest = line;
    if (line.starts_with(kCmsErrorPrefix)) {
        rest.remove_prefix(kCmsErrorPrefix.size());
    } else if (line.starts_with(kCmeErrorPrefix)) {
        family = Family::cme;
        rest.remove_prefix(kCmeErrorPrefix.size());
    } else {
        return cause;  // a bare ERROR says nothing more
    }
    rest = trim_blanks(rest);
    int code = 0;
    const auto [end, error] = std::from_chars(rest.data(), rest.data() + rest.size(), code);
    if (error != std::errc{} || end != rest.data() + rest.size())
        return cause;  // a verbose text (AT+CMEE=2) says it in words
    cause.code = code;
    cause.cms = family == Family::cms;
    for (const FailureRule &rule : kFailureRules) {
        if (rule.family == family && code >= rule.first && code <= rule.last) {
            cause.kind = rule.kind;
            cause.meaning = rule.meaning;
            cause.theirs = rule.theirs;
            break;
        }
    }
    return cause;
}

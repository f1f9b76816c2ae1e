// The modems of a run and its rounds: which is in use, which a pool passes
// over, and what a message whose first parts went out on another needs.
#include "delivery.h"

#include "report.h"

#include <algorithm>
#include <syslog.h>

namespace {

// A pool moved a message whose first parts went out on another modem.
constexpr const char *kMsgPartsAloneFormat =
    "SMS to %s: %u of %u parts went out via %s; the whole message goes again%s%s, and "
    "those parts may arrive on their own.";

}  // namespace

void begin_round(Delivery &d)
{
    ++d.round;
    d.pause_seconds = -1;
    for (ModemState &m : d.modem_states)
        m.failed = false;
}

void use_modem(Delivery &d, std::size_t modem, const char *device)
{
    d.modem = modem;
    d.device = device;
    d.move = false;
    d.started = true;
}

std::array<bool, kMaxModems> passed_modems(const Delivery &d)
{
    std::array<bool, kMaxModems> passed{};
    for (std::size_t i = 0; i < passed.size(); ++i)
        passed[i] = d.modem_states[i].failed || d.modem_states[i].out;
    return passed;
}

void begin_recipient(Delivery &d, std::size_t who, unsigned count)
{
    RecipientState &r = d.recipients[who];
    if (!d.pool || r.accepted == 0 || r.accepted_on == d.modem)
        return;
    const char *device = device_named(d);
    report(LOG_WARNING, kMsgPartsAloneFormat, d.numbers[who], r.accepted, count,
           d.device_names[r.accepted_on], device != nullptr ? kVia : "",
           device != nullptr ? device : "");
    r.accepted = 0;
    r.history = remember_accepted(r.history);  // a new message from another sender
    r.report = {};
}

PoolView pool_view(const Delivery &d)
{
    PoolView pool{};
    for (std::size_t i = 0; i < d.modems && d.pool; ++i)
        pool.other_modem = pool.other_modem ||
                           (i != d.modem && !d.modem_states[i].failed && !d.modem_states[i].out);
    return pool;
}

bool unsettled_left(const Delivery &d)
{
    return std::any_of(d.recipients.begin(), d.recipients.begin() + d.numbers.size(),
                       [](const RecipientState &r) { return !r.settled; });
}

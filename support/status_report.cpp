#include "support/status_report.h"

#include <cstdio>
#include <sstream>

#include "platform/clock.h"
#include "support/service_names.h"
#include "support/text_conversion.h"

namespace {

constexpr std::int64_t kSecondsPerDay = 86400;
// Days from 1601-01-01 to 1970-01-01.
constexpr std::int64_t kDaysTo1970 = 134774;

struct CivilDate {
    std::int64_t year;
    unsigned month;
    unsigned day;
};

// The proleptic Gregorian date of a day counted from 1970-01-01.
CivilDate civilFromDays(std::int64_t days) {
    days += 719468;
    const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const auto dayOfEra = static_cast<unsigned>(days - era * 146097);
    const unsigned yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const unsigned shiftedMonth = (5 * dayOfYear + 2) / 153;
    const unsigned day = dayOfYear - (153 * shiftedMonth + 2) / 5 + 1;
    const unsigned month = shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9;
    const std::int64_t year = static_cast<std::int64_t>(yearOfEra) + era * 400 + (month <= 2);
    return CivilDate{year, month, day};
}

std::string plural(std::uint64_t count, const char* one, const char* many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

std::uint64_t openConnections(const RelayStatus& s) {
    std::uint64_t total = 0;
    for (const UserConnections& u : s.users)
        total += u.connections;
    return total;
}

// Connections still being attributed have no user yet.
std::uint64_t knownUsers(const RelayStatus& s) {
    std::uint64_t users = 0;
    for (const UserConnections& u : s.users)
        users += u.user.empty() ? 0 : 1;
    return users;
}

void reportGateway(std::ostringstream& out, const RelayStatus& s) {
    out << "Gateway:     \"" << s.gatewayName << "\" port " << s.gatewayPort << '\n';
    if (s.gatewayAddresses.empty())
        out << "  no address tried yet\n";
    for (const GatewayAddressState& a : s.gatewayAddresses) {
        out << "  " << a.address << (a.answering ? " answering" : " not answering") << " since "
            << utcTimeText(a.since);
        if (!a.lastError.empty())
            out << ", last error: " << a.lastError;
        out << '\n';
    }
}

void reportUsers(std::ostringstream& out, const RelayStatus& s) {
    out << "Connections: " << openConnections(s) << " open for "
        << plural(knownUsers(s), "user", "users") << '\n';
    for (const UserConnections& u : s.users) {
        out << "  " << (u.user.empty() ? std::string("(user not known)") : wideToUtf8(u.user))
            << ": " << plural(u.connections, "connection", "connections") << ", "
            << u.bytesToGateway << " bytes to the gateway, " << u.bytesToBrowser
            << " bytes to the browser\n";
    }
}

void reportCounters(std::ostringstream& out, const RelayCounters& c) {
    out << "Since start:\n"
        << "  accepted: " << c.accepted << '\n'
        << "  relayed: " << c.relayed << '\n'
        << "  error pages 500: " << c.errorPages500 << '\n'
        << "  error pages 502: " << c.errorPages502 << '\n'
        << "  error pages 504: " << c.errorPages504 << '\n'
        << "  identities refused by the gateway: " << c.identitiesRefused << '\n'
        << "  owners not found: " << c.ownersNotFound << '\n'
        << "  pairs pruned: " << c.pairsPruned << '\n';
}

}  // namespace

std::string utcTimeText(std::int64_t ticks) {
    std::int64_t seconds = ticks / platform::kTicksPerSecond;
    std::int64_t days = seconds / kSecondsPerDay;
    seconds %= kSecondsPerDay;
    if (seconds < 0) {
        seconds += kSecondsPerDay;
        --days;
    }
    const CivilDate date = civilFromDays(days - kDaysTo1970);
    char text[64];
    std::snprintf(text, sizeof text, "%04lld-%02u-%02u %02lld:%02lld:%02lld UTC",
                  static_cast<long long>(date.year), date.month, date.day,
                  static_cast<long long>(seconds / 3600), static_cast<long long>(seconds / 60 % 60),
                  static_cast<long long>(seconds % 60));
    return text;
}

std::string statusReport(const RelayStatus& s) {
    std::ostringstream out;
    out << kServiceDisplayNameNarrow << " is running.\n";
    out << "Version:     " << s.version << '\n';
    out << "Started:     " << utcTimeText(s.started) << '\n';
    out << "Listening:   ";
    for (std::size_t i = 0; i < s.listening.size(); ++i)
        out << (i > 0 ? ", " : "") << s.listening[i];
    out << '\n';
    reportGateway(out, s);
    reportUsers(out, s);
    reportCounters(out, s.counters);
    out << "As of:       " << utcTimeText(s.taken) << '\n';
    return out.str();
}

std::wstring statusSummary(const RelayStatus& s) {
    bool tried = false;
    bool answering = false;
    for (const GatewayAddressState& a : s.gatewayAddresses) {
        tried = true;
        answering = answering || a.answering;
    }
    const char* gateway = answering ? "gateway answering"
                          : tried   ? "gateway not answering"
                                    : "gateway not tried yet";
    const std::string line = plural(openConnections(s), "connection", "connections") + " for " +
                             plural(knownUsers(s), "user", "users") + "; " + gateway;
    return std::wstring(line.begin(), line.end());
}

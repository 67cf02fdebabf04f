#include "tools/common/tool_options.h"

#include <cerrno>
#include <cstdlib>
#include <utility>

namespace toolopt {

namespace {

std::string joined(const std::vector<std::string>& values) {
    std::string out;
    for (const std::string& value : values)
        out += (out.empty() ? "" : " ") + value;
    return out;
}

}  // namespace

bool parseNumber(const std::string& text, unsigned long long min, unsigned long long max,
                 unsigned long long& value) {
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const std::string digits = hex ? text.substr(2) : text;
    const std::string allowed = hex ? "0123456789abcdefABCDEF" : "0123456789";
    if (digits.empty() || digits.find_first_not_of(allowed) != std::string::npos)
        return false;
    errno = 0;
    const unsigned long long n = std::strtoull(digits.c_str(), nullptr, hex ? 16 : 10);
    if (errno != 0 || n < min || n > max)
        return false;
    value = n;
    return true;
}

OptionParser& OptionParser::flag(const std::string& name, std::function<void()> seen) {
    return option(name, 0, [seen](const Values&) {
        seen();
        return true;
    });
}

OptionParser& OptionParser::option(const std::string& name,
                                   std::function<bool(const std::string&)> take) {
    return option(name, 1, [take](const Values& values) { return take(values[0]); });
}

OptionParser& OptionParser::option(const std::string& name, std::size_t count,
                                   std::function<bool(const Values&)> take) {
    m_options.push_back(KnownOption{name, count, std::move(take)});
    return *this;
}

OptionParser& OptionParser::required() {
    m_options.back().required = true;
    return *this;
}

OptionParser& OptionParser::text(const std::string& name, std::string& target) {
    return option(name, [&target](const std::string& value) {
        target = value;
        return true;
    });
}

std::size_t OptionParser::find(const std::string& name) const {
    std::size_t i = 0;
    while (i < m_options.size() && m_options[i].name != name)
        ++i;
    return i;
}

bool OptionParser::parse(const Values& args, std::string& error) const {
    std::vector<bool> given(m_options.size(), false);
    for (auto at = args.begin(); at != args.end(); ++at) {
        const std::size_t index = find(*at);
        if (index == m_options.size()) {
            error = "unknown option " + *at;
            return false;
        }
        const KnownOption& known = m_options[index];
        if (static_cast<std::size_t>(args.end() - at - 1) < known.count) {
            error = "missing value after " + known.name;
            return false;
        }
        const Values values(at + 1, at + 1 + static_cast<std::ptrdiff_t>(known.count));
        at += static_cast<std::ptrdiff_t>(known.count);
        if (!known.take(values)) {
            error = "bad value for " + known.name + ": " + joined(values);
            return false;
        }
        given[index] = true;
    }
    for (std::size_t i = 0; i < m_options.size(); ++i) {
        if (m_options[i].required && !given[i]) {
            error = m_options[i].name + " is needed";
            return false;
        }
    }
    return true;
}

bool OptionParser::parse(int argc, char** argv, std::string& error) const {
    return parse(Values(argv + (argc > 0 ? 1 : 0), argv + (argc > 0 ? argc : 0)), error);
}

}  // namespace toolopt

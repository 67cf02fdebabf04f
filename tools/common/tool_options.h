// The command line of the test and benchmark tools: named options read left
// to right, each a flag ("--forward") or a name with a fixed number of values
// ("--port 8080"). A tool says what each name does; its handler refuses a
// value that does not fit. Portable: the Windows test client uses it too.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace toolopt {

// A whole number in [min, max], decimal or 0x hexadecimal, nothing else.
bool parseNumber(const std::string& text, unsigned long long min, unsigned long long max,
                 unsigned long long& value);

// The same into a narrower type, which [min, max] must fit.
template <typename Number>
bool parseNumber(const std::string& text, unsigned long long min, unsigned long long max,
                 Number& value) {
    unsigned long long n = 0;
    if (!parseNumber(text, min, max, n))
        return false;
    value = static_cast<Number>(n);
    return true;
}

class OptionParser {
public:
    using Values = std::vector<std::string>;

    // A name without a value.
    OptionParser& flag(const std::string& name, std::function<void()> seen);
    // A name and one value; the handler returns false for a bad value.
    OptionParser& option(const std::string& name, std::function<bool(const std::string&)> take);
    // A name and `count` values.
    OptionParser& option(const std::string& name, std::size_t count,
                         std::function<bool(const Values&)> take);

    // The option last added must be given.
    OptionParser& required();

    // Shorthands: the value as it is, or a number in [min, max].
    OptionParser& text(const std::string& name, std::string& target);
    template <typename Number>
    OptionParser& number(const std::string& name, unsigned long long min, unsigned long long max,
                         Number& target) {
        return option(name, [min, max, &target](const std::string& value) {
            return parseNumber(value, min, max, target);
        });
    }

    // Reads the arguments (without the program's name). False at the first
    // one that is unknown, lacks a value or has a bad one, or when a required
    // option is missing, with a message in error: "unknown option X",
    // "missing value after X", "bad value for X: V", "X is needed".
    bool parse(const Values& args, std::string& error) const;
    bool parse(int argc, char** argv, std::string& error) const;

private:
    struct KnownOption {
        std::string name;
        std::size_t count;
        std::function<bool(const Values&)> take;
        bool required = false;
    };
    std::size_t find(const std::string& name) const;  // index, or the count

    std::vector<KnownOption> m_options;
};

}  // namespace toolopt

// Text signatures, the first part of every callable's docstring, and the
// Python text of their defaults.

#include "bind/call.hpp"

#include <algorithm>
#include <charconv>
#include <iterator>
#include <string>
#include <string_view>

namespace bind {

std::string python_text(double v) {
    char text[32];
    const auto end = std::to_chars(text, text + sizeof text, v).ptr;
    std::string out(text, end);
    // Python's repr keeps a float a float: 30.0, not 30.
    if (out.find_first_of(".eni") == std::string::npos) out += ".0";
    return out;
}

namespace {

// Python's reserved words, which no parameter can be named in a signature.
bool reserved_word(std::string_view name) {
    static constexpr std::string_view words[] = {
        "False", "None",     "True",  "and",    "as",   "assert", "async",  "await",    "break",
        "class", "continue", "def",   "del",    "elif", "else",   "except", "finally",  "for",
        "from",  "global",   "if",    "import", "in",   "is",     "lambda", "nonlocal", "not",
        "or",    "pass",     "raise", "return", "try",  "while",  "with",   "yield"};
    return std::find(std::begin(words), std::end(words), name) != std::end(words);
}

} // namespace

std::string text_signature(const char* fn, bool with_self, const char* const* names, std::size_t n,
                           std::size_t positional, const char* const* defaults) {
    // A parameter named by a reserved word is shown with a trailing
    // underscore and taken by position only, as is every one before it (as
    // the stubs write it), so that inspect.signature reads the text.
    std::size_t position_only = 0;
    for (std::size_t i = 0; i < positional; ++i) {
        if (reserved_word(names[i])) position_only = i + 1;
    }
    std::string doc = std::string(fn) + "(";
    if (with_self) doc += n > 0 ? "$self, " : "$self";
    for (std::size_t i = 0; i < n; ++i) {
        doc += std::string(i > 0 ? ", " : "") + (i == positional ? "*, " : "") + names[i];
        if (reserved_word(names[i])) doc += "_";
        if (i + 1 == position_only) doc += ", /";
        if (i >= positional) doc += std::string("=") + defaults[i];
    }
    return doc + ")\n--\n\n";
}

} // namespace bind

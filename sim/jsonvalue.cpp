#include "jsonvalue.h"

#include <limits>

// A recursive descent over the text; nesting is bounded so that hostile input cannot exhaust the stack.
class JsonValue::Reader
{
public:
    explicit Reader(std::string_view text) : text(text) {}

    bool value(JsonValue& out, int depth);
    void skipBlanks()
    {
        while (at < text.size() &&
               (text[at] == ' ' || text[at] == '\t' || text[at] == '\n' || text[at] == '\r'))
            ++at;
    }
    bool atEnd() const { return at == text.size(); }

    std::string_view text;
    std::size_t at = 0;
    std::string problem;

private:
    static constexpr int MaxDepth = 32;

    bool fail(const char* what)
    {
        if (problem.empty())
            problem = std::string(what) + " at offset " + std::to_string(at);
        return false;
    }
    bool literal(std::string_view word)
    {
        if (text.substr(at, word.size()) != word)
            return fail("unknown word");
        at += word.size();
        return true;
    }
    bool string(std::string& out);
    bool hex4(uint32_t& out);
    bool numberValue(JsonValue& out);
    static void appendUtf8(std::string& out, uint32_t codePoint);
};

bool JsonValue::Reader::value(JsonValue& out, int depth)
{
    if (depth > MaxDepth)
        return fail("nested too deeply");
    skipBlanks();
    if (atEnd())
        return fail("value missing");
    const char c = text[at];
    if (c == '"') {
        out.kind = Type::String;
        return string(out.textValue);
    }
    if (c == 't' || c == 'f') {
        out.kind = Type::Bool;
        out.flag = c == 't';
        return literal(out.flag ? "true" : "false");
    }
    if (c == 'n')
        return literal("null");
    if (c == '-' || (c >= '0' && c <= '9'))
        return numberValue(out);
    if (c != '[' && c != '{')
        return fail("unexpected character");
    const bool isObject = c == '{';
    const char close = isObject ? '}' : ']';
    out.kind = isObject ? Type::Object : Type::Array;
    ++at;
    skipBlanks();
    if (at < text.size() && text[at] == close) {
        ++at;
        return true;
    }
    for (;;) {
        skipBlanks();
        if (isObject) {
            std::string name;
            if (at >= text.size() || text[at] != '"' || !string(name))
                return fail("member name missing");
            skipBlanks();
            if (at >= text.size() || text[at] != ':')
                return fail("':' missing");
            ++at;
            out.memberNames.push_back(std::move(name));
        }
        out.items.emplace_back();
        if (!value(out.items.back(), depth + 1))
            return false;
        skipBlanks();
        if (at < text.size() && text[at] == ',') {
            ++at;
            continue;
        }
        if (at < text.size() && text[at] == close) {
            ++at;
            return true;
        }
        return fail("',' or end missing");
    }
}

bool JsonValue::Reader::string(std::string& out)
{
    ++at; // the opening quote
    while (at < text.size()) {
        const char c = text[at++];
        if (c == '"')
            return true;
        if (static_cast<unsigned char>(c) < 0x20)
            return fail("control character in a string");
        if (c != '\\') {
            out += c;
            continue;
        }
        if (at >= text.size())
            break;
        const char escaped = text[at++];
        switch (escaped) {
        case '"':
        case '\\':
        case '/':
            out += escaped;
            break;
        case 'b':
            out += '\b';
            break;
        case 'f':
            out += '\f';
            break;
        case 'n':
            out += '\n';
            break;
        case 'r':
            out += '\r';
            break;
        case 't':
            out += '\t';
            break;
        case 'u': {
            uint32_t codePoint = 0;
            if (!hex4(codePoint))
                return false;
            // A pair of surrogates stands for one character beyond U+FFFF.
            if (codePoint >= 0xD800 && codePoint < 0xDC00 && text.substr(at, 2) == "\\u") {
                at += 2;
                uint32_t low = 0;
                if (!hex4(low) || low < 0xDC00 || low > 0xDFFF)
                    return fail("broken surrogate pair");
                codePoint = 0x10000 + ((codePoint - 0xD800) << 10) + (low - 0xDC00);
            }
            appendUtf8(out, codePoint);
            break;
        }
        default:
            return fail("unknown escape");
        }
    }
    return fail("string not closed");
}

bool JsonValue::Reader::hex4(uint32_t& out)
{
    if (at + 4 > text.size())
        return fail("short \\u escape");
    out = 0;
    for (int i = 0; i < 4; ++i) {
        const char c = text[at++];
        out <<= 4;
        if (c >= '0' && c <= '9')
            out |= uint32_t(c - '0');
        else if (c >= 'a' && c <= 'f')
            out |= uint32_t(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F')
            out |= uint32_t(c - 'A' + 10);
        else
            return fail("bad \\u escape");
    }
    return true;
}

// Integers are kept exactly; a fraction or an exponent is read past and marks the number as none.
bool JsonValue::Reader::numberValue(JsonValue& out)
{
    out.kind = Type::Number;
    const bool negative = text[at] == '-';
    if (negative)
        ++at;
    const std::size_t digitsStart = at;
    bool fits = true;
    uint64_t magnitude = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
        const uint64_t digit = uint64_t(text[at++] - '0');
        if (magnitude > (uint64_t(std::numeric_limits<int64_t>::max()) - digit) / 10)
            fits = false;
        else
            magnitude = magnitude * 10 + digit;
    }
    if (at == digitsStart)
        return fail("digits missing");
    bool whole = true;
    if (at < text.size() && text[at] == '.') {
        whole = false;
        ++at;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9')
            ++at;
    }
    if (at < text.size() && (text[at] == 'e' || text[at] == 'E')) {
        whole = false;
        ++at;
        if (at < text.size() && (text[at] == '+' || text[at] == '-'))
            ++at;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9')
            ++at;
    }
    out.isInteger = whole && fits;
    out.number = negative ? -int64_t(magnitude) : int64_t(magnitude);
    return true;
}

void JsonValue::Reader::appendUtf8(std::string& out, uint32_t codePoint)
{
    if (codePoint < 0x80) {
        out += char(codePoint);
    } else if (codePoint < 0x800) {
        out += char(0xC0 | (codePoint >> 6));
        out += char(0x80 | (codePoint & 0x3F));
    } else if (codePoint < 0x10000) {
        out += char(0xE0 | (codePoint >> 12));
        out += char(0x80 | ((codePoint >> 6) & 0x3F));
        out += char(0x80 | (codePoint & 0x3F));
    } else {
        out += char(0xF0 | (codePoint >> 18));
        out += char(0x80 | ((codePoint >> 12) & 0x3F));
        out += char(0x80 | ((codePoint >> 6) & 0x3F));
        out += char(0x80 | (codePoint & 0x3F));
    }
}

std::optional<JsonValue> JsonValue::parse(std::string_view text, std::string* error)
{
    Reader reader(text);
    JsonValue result;
    bool parsed = reader.value(result, 0);
    reader.skipBlanks();
    if (parsed && !reader.atEnd()) {
        reader.problem = "text after the value at offset " + std::to_string(reader.at);
        parsed = false;
    }
    if (parsed)
        return result;
    if (error)
        *error = reader.problem;
    return std::nullopt;
}

std::optional<int64_t> JsonValue::integer() const
{
    if (kind != Type::Number || !isInteger)
        return std::nullopt;
    return number;
}

std::optional<uint32_t> JsonValue::uint32() const
{
    const std::optional<int64_t> value = integer();
    if (!value || *value < 0 || *value > std::numeric_limits<uint32_t>::max())
        return std::nullopt;
    return uint32_t(*value);
}

const JsonValue& JsonValue::operator[](std::string_view key) const
{
    static const JsonValue none;
    if (kind != Type::Object)
        return none;
    for (std::size_t i = 0; i < memberNames.size(); ++i) {
        if (memberNames[i] == key)
            return items[i];
    }
    return none;
}

// UTF-8 of code points below U+0100 is one byte below 0x80 or two bytes, 0xC2 or 0xC3 first.
std::optional<std::string> JsonValue::bytes() const
{
    if (kind != Type::String)
        return std::nullopt;
    std::string out;
    for (std::size_t i = 0; i < textValue.size(); ++i) {
        const auto c = static_cast<unsigned char>(textValue[i]);
        if (c < 0x80) {
            out += char(c);
        } else if ((c == 0xC2 || c == 0xC3) && i + 1 < textValue.size()) {
            out += char(((c & 0x03) << 6) | (static_cast<unsigned char>(textValue[++i]) & 0x3F));
        } else {
            return std::nullopt;
        }
    }
    return out;
}

// A JSON value read from text, for the simulators' replay of a recorded conversation: the stand-in
// libraries stay free of Qt, so they cannot use Qt's JSON classes. Reads what JSON allows; numbers
// are kept exactly only as integers, which is all a recording holds.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class JsonValue
{
public:
    enum class Type
    {
        Null,
        Bool,
        Number,
        String,
        Array,
        Object
    };

    // The one value that text holds (blanks around it allowed); nullopt, and error says why, when
    // the text is no JSON value.
    static std::optional<JsonValue> parse(std::string_view text, std::string* error = nullptr);

    Type type() const { return kind; }
    bool isNull() const { return kind == Type::Null; }
    bool boolean() const { return kind == Type::Bool && flag; }
    // The text of a string (UTF-8), else empty.
    const std::string& text() const { return textValue; }
    // An integer number within range, else nullopt (also for fractions and other types).
    std::optional<int64_t> integer() const;
    std::optional<uint32_t> uint32() const;
    // The member of an object, or a null value when there is none (or this is no object).
    const JsonValue& operator[](std::string_view key) const;
    // An object's member names, in the order written.
    const std::vector<std::string>& keys() const { return memberNames; }
    // An array's elements, or an object's member values in the order of keys().
    const std::vector<JsonValue>& elements() const { return items; }
    // A string whose characters are all U+0000 to U+00FF, as the bytes they stand for (a recording
    // writes bytes that way); nullopt for anything else.
    std::optional<std::string> bytes() const;

private:
    class Reader;

    Type kind = Type::Null;
    bool flag = false;
    bool isInteger = false;
    int64_t number = 0;
    std::string textValue;
    std::vector<std::string> memberNames;
    std::vector<JsonValue> items;
};

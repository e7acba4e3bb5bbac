#include <windows.h>

#include <cstdio>

#include "base/Utf8.h"
#include "tools/fuzz/Fuzz.h"

namespace Gen {

namespace {

constexpr size_t MaxMutatedSize = 1 << 20;

const std::vector<std::string> JsonTokens = {"[",
                                             "]",
                                             "{",
                                             "}",
                                             "\"",
                                             ",",
                                             ":",
                                             "\\",
                                             "null",
                                             "true",
                                             "-",
                                             "1e999",
                                             "\\ud800",
                                             "\\udc00",
                                             "\\u0000",
                                             "\"filepath\"",
                                             "\"status\"",
                                             "/*",
                                             "*/",
                                             "//",
                                             "\n",
                                             "\xC0\x80",
                                             "\xED\xA0\x80",
                                             "\xFF",
                                             std::string(1, '\0')};

const std::vector<std::string> Numbers = {"0",
                                          "1",
                                          "2",
                                          "3",
                                          "-1",
                                          "-2",
                                          "10",
                                          "2147483647",
                                          "2147483648",
                                          "-2147483649",
                                          "4294967296",
                                          "9223372036854775807",
                                          "18446744073709551616",
                                          "99999999999999999999999",
                                          "1.5",
                                          "-0",
                                          "1e400",
                                          "-1e-400",
                                          "2.0",
                                          "1E2",
                                          "0x10",
                                          "01",
                                          "+1",
                                          ".5",
                                          "NaN",
                                          "Infinity",
                                          "-"};

const std::vector<std::string> BadUtf8 = {"\x80",
                                          "\xBF",
                                          "\xC0\x80",
                                          "\xC1\xBF",
                                          "\xE0\x80\x80",
                                          "\xED\xA0\x80",
                                          "\xED\xBF\xBF",
                                          "\xF4\x90\x80\x80",
                                          "\xF8\x88\x80\x80\x80",
                                          "\xFF",
                                          "\xFE",
                                          "\xE2\x82",
                                          "\xF0\x9F\x98",
                                          "\xC3"};

const std::vector<std::wstring> Reserved = {L"CON",    L"PRN",     L"AUX",       L"NUL",     L"COM1",
                                            L"COM9",   L"LPT1",    L"LPT1.txt",  L"con.txt", L"nul.",
                                            L"CONIN$", L"CONOUT$", L"COM\u00B9", L".",       L".."};

void AppendCodePoint(std::wstring* text, uint32_t cp)
{
    if (cp < 0x10000) {
        text->push_back(wchar_t(cp));
    } else {
        cp -= 0x10000;
        text->push_back(wchar_t(0xD800 + (cp >> 10)));
        text->push_back(wchar_t(0xDC00 + (cp & 0x3FF)));
    }
}

} // namespace

std::string RandomBytes(CDraw& draw, size_t maxLength)
{
    std::string bytes(draw.Below(maxLength + 1), '\0');
    for (char& c : bytes)
        c = char(draw.Next());
    return bytes;
}

std::string Mutate(CDraw& draw, std::string text, const std::vector<std::string>& donors)
{
    for (long round = draw.Between(1, 8); round > 0; --round) {
        const size_t at = draw.Below(text.size() + 1);
        switch (draw.Below(6)) {
        case 0: // a bit
            if (at < text.size())
                text[at] = char(text[at] ^ (1 << draw.Below(8)));
            break;
        case 1: // a token of the language, or a broken one
            text.insert(at, draw.Pick(JsonTokens));
            break;
        case 2:
            text.insert(at, RandomBytes(draw, 8));
            break;
        case 3:
            text.erase(at, draw.Percent(80) ? draw.Below(16) : draw.Below(text.size()));
            break;
        case 4: { // a piece of another text, inserted or replacing the rest
            const std::string& donor = draw.Pick(donors);
            const size_t from = draw.Below(donor.size() + 1);
            const std::string piece = donor.substr(from, draw.Below(donor.size() - from + 1));
            if (draw.Percent(50))
                text.insert(at, piece);
            else
                text = text.substr(0, at) + piece;
            break;
        }
        default: { // a piece of itself, repeated
            const std::string piece = text.substr(at, draw.Below(64));
            for (long n = draw.Between(1, draw.Percent(90) ? 4 : 1000); n > 0 && text.size() < MaxMutatedSize; --n)
                text.insert(at, piece);
            break;
        }
        }
    }
    return text.substr(0, MaxMutatedSize);
}

std::string JsonString(CDraw& draw, const std::string& utf8, bool odd)
{
    static const std::vector<std::string> escapes = {
        "\\ud800", "\\udbff\\udfff", "\\udc00", "\\u0000", "\\ud83d\\ude00", "\\ud800\\u0041", "\\uDFFF", "\\/", "\\t"};
    std::string out = "\"";
    for (const char c : utf8) {
        if (odd && draw.Percent(5))
            out += draw.Pick(escapes);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20 ||
                   (odd && draw.Percent(10) && static_cast<unsigned char>(c) < 0x80)) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned char>(c));
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string InvalidUtf8(CDraw& draw)
{
    std::string text;
    for (long n = draw.Between(1, 6); n > 0; --n) {
        if (draw.Percent(50))
            text += char('a' + draw.Below(26));
        text += draw.Pick(BadUtf8);
    }
    return text;
}

std::string JsonValue(CDraw& draw, int depth)
{
    switch (depth > 5 ? draw.Below(4) : draw.Below(9)) {
    case 0:
        return draw.Pick<std::string>({"null", "true", "false"});
    case 1:
        return draw.Pick(Numbers);
    case 2:
    case 3: {
        if (draw.Percent(30))
            return "\"" + InvalidUtf8(draw) + "\"";
        const bool odd = draw.Percent(20);
        return JsonString(draw, "/" + ToUtf8(PathComponent(draw)), odd);
    }
    case 4:
    case 5: {
        std::string array = "[";
        for (long n = draw.Below(7); n > 0; --n)
            array += JsonValue(draw, depth + 1) + (n > 1 ? ", " : "");
        return array + "]";
    }
    case 6:
    case 7: {
        static const std::vector<std::string> keys = {"\"filepath\"", "\"status\"", "\"x\"", "\"\"", "\"FilePath\""};
        std::string object = "{";
        for (long n = draw.Below(6); n > 0; --n) {
            object += draw.Pick(keys) + ": ";
            object += JsonValue(draw, depth + 1) + (n > 1 ? ", " : "");
        }
        return object + "}";
    }
    default: { // nesting around the parser's limit, or far past it
        const size_t levels = draw.Percent(70) ? size_t(draw.Between(12, 20)) : size_t(draw.Between(100, 100000));
        const std::string open(levels, draw.Percent(50) ? '[' : '{');
        return open + std::string(draw.Below(levels + 1), ']');
    }
    }
}

std::wstring PathComponent(CDraw& draw)
{
    std::wstring name;
    switch (draw.Below(10)) {
    case 0:
        name = draw.Pick(Reserved);
        break;
    case 1: // another plane: supplementary characters as surrogate pairs
        for (long n = draw.Between(1, 6); n > 0; --n)
            AppendCodePoint(&name, uint32_t(draw.Between(0x10000, 0x10FFFF)));
        break;
    case 2: // lone surrogates, high or low, among ordinary letters
        name = L"s";
        for (long n = draw.Between(1, 3); n > 0; --n)
            name += {wchar_t(draw.Between(0xD800, 0xDFFF)), L'x'};
        break;
    case 3: { // the rest of the Basic Multilingual Plane: combining marks, direction marks, noncharacters
        static const std::vector<uint32_t> odd = {0x00E9, 0x0065, 0x0301, 0x00DF, 0x0130, 0x03A3, 0x4E2D, 0xAC00,
                                                  0x202E, 0xFEFF, 0xFFFE, 0xFFFF, 0xE000, 0x200B, 0x2126, 0xFB01};
        for (long n = draw.Between(1, 8); n > 0; --n)
            AppendCodePoint(&name, draw.Percent(50) ? draw.Pick(odd) : uint32_t(draw.Between(0x80, 0xFFFD)));
        break;
    }
    case 4: // characters a file name cannot have
        name = L"a";
        name.push_back(draw.Pick<wchar_t>({L'<', L'>', L':', L'"', L'|', L'?', L'*', L'\t', L'\x01', L'\x1F', L'\0'}));
        name += L"b";
        break;
    case 5: // trailing dots and spaces
        name = L"name" + draw.Pick<std::wstring>({L".", L" ", L". .", L"...", L" .", L".txt."});
        break;
    case 6:
        name.assign(size_t(draw.Between(200, 1000)), wchar_t(L'a' + draw.Below(26)));
        break;
    default: {
        static const wchar_t letters[] = L"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 ._-~'%&";
        for (long n = draw.Between(1, 12); n > 0; --n)
            name.push_back(letters[draw.Below(std::size(letters) - 1)]);
        if (draw.Percent(40))
            name += L".txt";
    }
    }
    return name;
}

} // namespace Gen

std::string ToUtf8(const std::wstring& text)
{
    // A lone surrogate, which UTF-8 cannot carry, becomes the replacement character.
    std::wstring whole = text;
    for (size_t i = 0; i < whole.size(); ++i) {
        const bool pair = IS_HIGH_SURROGATE(whole[i]) && i + 1 < whole.size() && IS_LOW_SURROGATE(whole[i + 1]);
        if (pair)
            ++i;
        else if (IS_HIGH_SURROGATE(whole[i]) || IS_LOW_SURROGATE(whole[i]))
            whole[i] = 0xFFFD;
    }
    std::string utf8;
    WideToUtf8(whole, &utf8);
    return utf8;
}

std::string Printable(const std::wstring& text, size_t max)
{
    std::string out;
    for (size_t i = 0; i < text.size() && i < max; ++i) {
        if (text[i] >= 0x20 && text[i] < 0x7F) {
            out += char(text[i]);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", unsigned(text[i]));
            out += escaped;
        }
    }
    return out + (text.size() > max ? "... (" + std::to_string(text.size()) + " chars)" : "");
}

std::string Printable(const std::string& bytes, size_t max)
{
    std::string out;
    for (size_t i = 0; i < bytes.size() && i < max; ++i) {
        const auto byte = static_cast<unsigned char>(bytes[i]);
        if (byte >= 0x20 && byte < 0x7F) {
            out += char(byte);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
            out += escaped;
        }
    }
    return out + (bytes.size() > max ? "... (" + std::to_string(bytes.size()) + " bytes)" : "");
}

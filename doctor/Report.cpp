#include "doctor/Report.h"

#include <windows.h>

#include "base/Utf8.h"

void CReport::Begin(const char* key, const std::string& title)
{
    m_key = key;
    m_item = -1;
    m_text += (m_text.empty() ? "" : "\n") + title + "\n";
    m_json[m_key] = Json::Value(Json::objectValue);
}

void CReport::BeginItem(const char* key, const std::string& title)
{
    m_key = key;
    m_text += (m_text.empty() ? "" : "\n") + title + "\n";
    m_item = static_cast<int>(m_json[m_key].size());
    m_json[m_key].append(Json::Value(Json::objectValue));
}

void CReport::Add(Level level, const std::string& text, const std::string& whatToDo, unsigned badges)
{
    static const char* const Prefixes[] = {"  ", "  WARNING: ", "  PROBLEM: ", "    - "};
    static const char* const Names[] = {"fact", "warning", "problem", "detail"};
    m_text += Prefixes[level] + text + "\n";
    if (!whatToDo.empty())
        m_text += "    What to do: " + whatToDo + "\n";
    Json::Value line(Json::objectValue);
    line["level"] = Names[level];
    line["text"] = text;
    if (!whatToDo.empty())
        line["what_to_do"] = whatToDo;
    Facts()["lines"].append(line);
    std::string& first = level == Problem ? m_firstProblem : m_firstWarning;
    if ((level == Warning || level == Problem) && first.empty())
        first = text;
    if (level == Problem)
        m_stopped |= badges;
}

int CReport::Finish()
{
    const int exitCode = BadgesCanShow() ? 0 : 1;
    // "The in-sync and failed badges cannot show", when the problems stop only some of them.
    static const char* const Words[] = {"in-sync", "waiting", "failed"};
    static const char* const Names[] = {"ok", "pending", "error"};
    std::string stopped;
    Json::Value names(Json::arrayValue);
    for (unsigned badge = 0, left = m_stopped; badge < 3; ++badge) {
        if (!(m_stopped & 1u << badge))
            continue;
        left &= ~(1u << badge);
        stopped += std::string(Words[badge]) + (left == 0 ? "" : left & (left - 1) ? ", " : " and ");
        names.append(Names[badge]);
    }
    std::string summary = "Badges can show.";
    if (m_stopped == AllBadges)
        summary = "Badges cannot show: " + m_firstProblem;
    else if (!BadgesCanShow())
        summary =
            "The " + stopped + (names.size() == 1 ? " badge cannot" : " badges cannot") + " show: " + m_firstProblem;
    if (BadgesCanShow() && !m_firstWarning.empty())
        summary += " Yet: " + m_firstWarning;
    m_key = "summary";
    m_item = -1;
    m_text += "\nSummary\n  " + summary + "\n";
    Json::Value& facts = m_json["summary"];
    facts["badges_can_show"] = BadgesCanShow();
    facts["badges_that_cannot_show"] = names;
    facts["text"] = summary;
    facts["exit_code"] = exitCode;
    return exitCode;
}

std::string CReport::JsonText() const
{
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "  ";
    builder["emitUTF8"] = true;
    return Json::writeString(builder, m_json) + "\n";
}

namespace {

bool IsHigh(wchar_t c)
{
    return c >= 0xD800 && c <= 0xDBFF;
}

bool IsLow(wchar_t c)
{
    return c >= 0xDC00 && c <= 0xDFFF;
}

// Whether the unit at i belongs to the character before it: the second half of a surrogate
// pair, or a mark that combines with what precedes it.
bool JoinsPrevious(const std::wstring& text, size_t i)
{
    if (i == 0 || i >= text.size())
        return false;
    if (IsLow(text[i]))
        return IsHigh(text[i - 1]);
    // A letter that carries its accent (é) is nonspacing too, in Wine's tables at least; a mark
    // is no letter.
    WORD type = 0;
    return GetStringTypeW(CT_CTYPE3, &text[i], 1, &type) && (type & (C3_NONSPACING | C3_VOWELMARK)) &&
           !(type & C3_ALPHA);
}

} // namespace

std::string Narrow(const std::wstring& text)
{
    std::string utf8;
    if (WideToUtf8(text, &utf8))
        return utf8;
    // Unpaired surrogates (a broken name): only they are replaced.
    std::wstring mended = text;
    for (size_t i = 0; i < mended.size(); ++i) {
        const bool paired = IsHigh(mended[i]) ? i + 1 < mended.size() && IsLow(mended[i + 1])
                                              : IsLow(mended[i]) && i > 0 && IsHigh(text[i - 1]);
        if ((IsHigh(mended[i]) || IsLow(mended[i])) && !paired)
            mended[i] = 0xFFFD;
    }
    return WideToUtf8(mended, &utf8) ? utf8 : std::string();
}

std::string Shortened(const std::wstring& text, size_t keep)
{
    if (text.size() <= keep)
        return Narrow(text);
    size_t cut = keep;
    while (cut > 0 && JoinsPrevious(text, cut))
        --cut;
    size_t characters = 0;
    for (size_t i = 0; i < text.size(); ++i)
        characters += !(IsLow(text[i]) && i > 0 && IsHigh(text[i - 1]));
    return Narrow(text.substr(0, cut)) + "... (" + std::to_string(characters) + " characters)";
}

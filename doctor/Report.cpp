#include "doctor/Report.h"

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

void CReport::Add(Level level, const std::string& text, const std::string& whatToDo)
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
}

int CReport::Finish()
{
    const int exitCode = BadgesCanShow() ? 0 : 1;
    std::string summary = BadgesCanShow() ? "Badges can show." : "Badges cannot show: " + m_firstProblem;
    if (BadgesCanShow() && !m_firstWarning.empty())
        summary += " Yet: " + m_firstWarning;
    m_key = "summary";
    m_item = -1;
    m_text += "\nSummary\n  " + summary + "\n";
    Json::Value& facts = m_json["summary"];
    facts["badges_can_show"] = BadgesCanShow();
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

std::string Narrow(const std::wstring& text)
{
    std::string utf8;
    if (WideToUtf8(text, &utf8))
        return utf8;
    // Unpaired surrogates (a broken name): each unit that is not ASCII becomes "?".
    utf8.clear();
    for (const wchar_t c : text)
        utf8 += c < 0x80 ? static_cast<char>(c) : '?';
    return utf8;
}

std::string Shortened(const std::wstring& text, size_t keep)
{
    if (text.size() <= keep)
        return Narrow(text);
    return Narrow(text.substr(0, keep)) + "... (" + std::to_string(text.size()) + " characters)";
}

#pragma once

#include <json/json.h>

#include <string>
#include <vector>

// The doctor's report: sections of lines, each a fact and, where something is wrong, what to do;
// and the same facts as one JSON object. A problem stops badges (and makes the exit code 1); a
// warning stops something else (the menu's commands, the pushes) or may mislead.
class CReport {
public:
    // A detail explains the line before it.
    enum Level { Fact, Warning, Problem, Detail };
    // Which of the badges a problem stops; most stop them all.
    enum Badges : unsigned { InSyncBadge = 1, WaitingBadge = 2, FailedBadge = 4, AllBadges = 7 };

    // Starts a section: the lines and facts that follow go to it, the JSON member key.
    void Begin(const char* key, const std::string& title);
    // Starts an item of a section that has several (the paths): an element of the array key.
    void BeginItem(const char* key, const std::string& title);
    void Add(Level level, const std::string& text, const std::string& whatToDo = {}, unsigned badges = AllBadges);
    // The current section's (or item's) object in the JSON, for its facts.
    Json::Value& Facts() { return m_item < 0 ? m_json[m_key] : m_json[m_key][m_item]; }

    bool BadgesCanShow() const { return m_firstProblem.empty(); }
    // Ends the report with its summary, which names the badges the problems stop; answers the exit
    // code (0, or 1 after a problem).
    int Finish();

    std::string Text() const { return m_text; }
    std::string JsonText() const;

private:
    std::string m_key;
    int m_item = -1;
    std::string m_text;
    std::string m_firstProblem;
    unsigned m_stopped = 0; // the badges the problems stop
    std::string m_firstWarning;
    Json::Value m_json{Json::objectValue};
};

// Text for the report, whose output is UTF-8. A unit that is no character (half a surrogate
// pair) becomes U+FFFD; the rest stays as it is.
std::string Narrow(const std::wstring& text);
// A long text cut for a line of the report between two characters as a reader sees them (never
// inside a surrogate pair, never before a combining mark), saying how long it was.
std::string Shortened(const std::wstring& text, size_t keep = 120);

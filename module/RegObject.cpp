#include "module/RegObject.h"

#include <oleauto.h>

#include <new>

#include "base/RegistryKey.h"

namespace {

constexpr size_t MaxReplacementName = 31;
constexpr size_t MaxToken = 4094;
// Blocks nest no deeper than this: each level is a recursion on the caller's stack, and the
// module's own scripts use eight at most.
constexpr int MaxNesting = 64;

HRESULT FromWin32(LONG error)
{
    return error <= 0 ? static_cast<HRESULT>(error) : HRESULT_FROM_WIN32(static_cast<DWORD>(error));
}

bool Is(const std::wstring& token, const wchar_t* word)
{
    return lstrcmpiW(token.c_str(), word) == 0;
}

HKEY RootKey(const std::wstring& name)
{
    static const struct {
        const wchar_t* shortName;
        const wchar_t* longName;
        HKEY key;
    } roots[] = {
        {L"HKCR", L"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},         {L"HKCU", L"HKEY_CURRENT_USER", HKEY_CURRENT_USER},
        {L"HKLM", L"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},       {L"HKU", L"HKEY_USERS", HKEY_USERS},
        {L"HKPD", L"HKEY_PERFORMANCE_DATA", HKEY_PERFORMANCE_DATA}, {L"HKDD", L"HKEY_DYN_DATA", HKEY_DYN_DATA},
        {L"HKCC", L"HKEY_CURRENT_CONFIG", HKEY_CURRENT_CONFIG},
    };
    for (const auto& root : roots) {
        if (Is(name, root.shortName) || Is(name, root.longName))
            return root.key;
    }
    return nullptr;
}

// Keys that a script may name but never delete, whatever it says.
bool IsProtected(const std::wstring& name)
{
    for (const wchar_t* protectedName :
         {L"AppID", L"CLSID", L"Component Categories", L"FileType", L"Interface", L"Hardware", L"Mime", L"SAM",
          L"SECURITY", L"SYSTEM", L"Software", L"TypeLib"}) {
        if (Is(name, protectedName))
            return true;
    }
    return false;
}

// Depth first: a key with subkeys cannot be deleted.
LONG DeleteTree(HKEY parent, const wchar_t* name)
{
    CRegistryKey key;
    LONG result = key.Open(parent, name, KEY_READ | KEY_WRITE);
    if (result != ERROR_SUCCESS)
        return result;
    wchar_t child[256];
    for (;;) {
        DWORD length = 256;
        if (RegEnumKeyExW(key.Get(), 0, child, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        if ((result = DeleteTree(key.Get(), child)) != ERROR_SUCCESS)
            return result;
    }
    key.Close();
    return RegDeleteKeyExW(parent, name, 0, 0);
}

bool HasSubkeys(HKEY key)
{
    DWORD subkeys = 0;
    return RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr, nullptr, nullptr,
                            nullptr, nullptr) == ERROR_SUCCESS &&
           subkeys > 0;
}

bool IsTypeLetter(const std::wstring& type)
{
    return Is(type, L"S") || Is(type, L"D") || Is(type, L"B") || Is(type, L"M");
}

// The data of a typed value: S text, D decimal number, B hexadecimal bytes, M strings split at "\0".
HRESULT MakeValue(const std::wstring& type, const std::wstring& text, DWORD* kind, std::vector<BYTE>* data)
{
    const auto append = [data](const void* bytes, size_t size) {
        const auto* begin = static_cast<const BYTE*>(bytes);
        data->insert(data->end(), begin, begin + size);
    };
    if (Is(type, L"S")) {
        *kind = REG_SZ;
        append(text.c_str(), (text.size() + 1) * sizeof(wchar_t));
    } else if (Is(type, L"D")) {
        // A text that is not a number is an error of the script, not a silent 0.
        ULONG number = 0;
        const HRESULT result = VarUI4FromStr(const_cast<wchar_t*>(text.c_str()), 0, 0, &number);
        if (FAILED(result))
            return result;
        *kind = REG_DWORD;
        const DWORD value = number;
        append(&value, sizeof(value));
    } else if (Is(type, L"B")) {
        if (text.size() % 2)
            return E_FAIL;
        *kind = REG_BINARY;
        const auto digit = [](wchar_t c) -> BYTE {
            return c >= L'0' && c <= L'9'   ? c - L'0'
                   : c >= L'a' && c <= L'f' ? c - L'a' + 10
                   : c >= L'A' && c <= L'F' ? c - L'A' + 10
                                            : 0;
        };
        for (size_t i = 0; i < text.size(); i += 2)
            data->push_back(static_cast<BYTE>(digit(text[i]) << 4 | digit(text[i + 1])));
    } else if (Is(type, L"M")) {
        *kind = REG_MULTI_SZ;
        std::wstring strings;
        for (size_t i = 0; i < text.size(); ++i) {
            if (text[i] == L'\\' && i + 1 < text.size() && text[i + 1] == L'0') {
                strings.push_back(L'\0');
                ++i;
            } else {
                strings.push_back(text[i]);
            }
        }
        strings.push_back(L'\0');
        strings.push_back(L'\0');
        append(strings.data(), strings.size() * sizeof(wchar_t));
    } else {
        return DISP_E_EXCEPTION;
    }
    return S_OK;
}

// One run over the pre-processed text.
class CScriptRun {
public:
    explicit CScriptRun(const std::wstring& text) : m_text(text) {}

    HRESULT Run(bool registering)
    {
        // The whole text is read once before anything is applied: a script that does not parse
        // changes nothing.
        HRESULT result = Walk(registering, false);
        m_position = 0;
        return FAILED(result) ? result : Walk(registering, true);
    }

private:
    HRESULT Walk(bool registering, bool apply)
    {
        for (;;) {
            SkipSpace();
            if (m_position >= m_text.size())
                return S_OK;
            std::wstring name;
            HRESULT result = Next(&name);
            if (FAILED(result))
                return result;
            const HKEY root = RootKey(name);
            if (!root)
                return DISP_E_EXCEPTION;
            const size_t blockStart = m_position;
            result = Block(root, registering, apply);
            if (FAILED(result) && registering && apply) {
                // Take back what the failing block wrote, then report its error.
                m_position = blockStart;
                Block(root, false, true);
                return result;
            }
            if (FAILED(result))
                return result;
        }
    }

    void SkipSpace()
    {
        while (m_position < m_text.size() && wcschr(L" \t\r\n", m_text[m_position]))
            ++m_position;
    }

    HRESULT Next(std::wstring* token)
    {
        SkipSpace();
        token->clear();
        if (m_position >= m_text.size())
            return DISP_E_EXCEPTION;
        if (m_text[m_position] == L'\'') {
            for (++m_position;; ++m_position) {
                if (m_position >= m_text.size())
                    return DISP_E_EXCEPTION;
                if (m_text[m_position] == L'\'') {
                    if (m_position + 1 < m_text.size() && m_text[m_position + 1] == L'\'')
                        ++m_position; // a doubled quote stands for one
                    else
                        break;
                }
                token->push_back(m_text[m_position]);
            }
            ++m_position;
        } else {
            while (m_position < m_text.size() && !wcschr(L" \t\r\n", m_text[m_position]))
                token->push_back(m_text[m_position++]);
        }
        return token->size() > MaxToken ? DISP_E_EXCEPTION : S_OK;
    }

    bool PeekIs(const wchar_t* word)
    {
        const size_t saved = m_position;
        std::wstring token;
        const bool is = SUCCEEDED(Next(&token)) && token == word;
        m_position = saved;
        return is;
    }

    HRESULT Expect(const wchar_t* word)
    {
        std::wstring token;
        const HRESULT result = Next(&token);
        return FAILED(result) ? result : token == word ? S_OK : DISP_E_EXCEPTION;
    }

    // "{" entries "}", applied to key (or only read, when key is null). Too deep a block is an
    // error of the script, found by the reading pass before anything is applied.
    HRESULT Block(HKEY key, bool registering, bool apply)
    {
        if (m_depth == MaxNesting)
            return DISP_E_EXCEPTION;
        ++m_depth;
        HRESULT result = Expect(L"{");
        while (SUCCEEDED(result)) {
            if (PeekIs(L"}")) {
                result = Expect(L"}");
                break;
            }
            result = Entry(key, registering, apply);
        }
        --m_depth;
        return result;
    }

    HRESULT Entry(HKEY parent, bool registering, bool apply)
    {
        std::wstring token;
        HRESULT result = Next(&token);
        bool forceRemove = false, deleteKey = false, noRemove = false;
        if (SUCCEEDED(result) && (Is(token, L"ForceRemove") || Is(token, L"Delete"))) {
            (Is(token, L"Delete") ? deleteKey : forceRemove) = true;
            result = Next(&token);
        }
        if (SUCCEEDED(result) && Is(token, L"NoRemove")) {
            noRemove = true;
            result = Next(&token);
        }
        if (FAILED(result))
            return result;
        if (Is(token, L"Val"))
            return ValueEntry(parent, registering, apply, noRemove);

        // A key name is one key below its parent: an empty one would name, and delete, the parent.
        const std::wstring name = token;
        if (name.empty() || name.find(L'\\') != std::wstring::npos)
            return DISP_E_EXCEPTION;
        std::wstring type, text;
        const bool assigns = PeekIs(L"=");
        if (assigns && (FAILED(result = Expect(L"=")) || FAILED(result = Next(&type)) || FAILED(result = Next(&text))))
            return result;
        if (assigns && !IsTypeLetter(type))
            return DISP_E_EXCEPTION;
        const bool hasBlock = PeekIs(L"{");

        if (!apply)
            return hasBlock ? Block(nullptr, registering, false) : S_OK;
        if (registering) {
            if ((forceRemove || deleteKey) && !IsProtected(name))
                DeleteTree(parent, name.c_str());
            // A deleted key gets nothing written below it: its block is read, not applied.
            if (deleteKey)
                return hasBlock ? Block(nullptr, registering, false) : S_OK;
            return RegisterKey(parent, name, assigns ? &type : nullptr, text, hasBlock);
        }
        return UnregisterKey(parent, name, hasBlock, noRemove);
    }

    HRESULT ValueEntry(HKEY key, bool registering, bool apply, bool noRemove)
    {
        std::wstring name, type, text;
        HRESULT result;
        if (FAILED(result = Next(&name)) || FAILED(result = Expect(L"=")) || FAILED(result = Next(&type)) ||
            FAILED(result = Next(&text)))
            return result;
        if (!IsTypeLetter(type))
            return DISP_E_EXCEPTION;
        if (!apply)
            return S_OK;
        if (registering) {
            DWORD kind = 0;
            std::vector<BYTE> data;
            if (FAILED(result = MakeValue(type, text, &kind, &data)))
                return result;
            return FromWin32(RegSetValueExW(key, name.c_str(), 0, kind, data.data(), static_cast<DWORD>(data.size())));
        }
        if (noRemove)
            return S_OK;
        CRegistryKey writable;
        LONG error = writable.Open(key, nullptr, KEY_WRITE);
        if (error == ERROR_SUCCESS)
            error = RegDeleteValueW(writable.Get(), name.c_str());
        return error == ERROR_FILE_NOT_FOUND ? S_OK : FromWin32(error);
    }

    HRESULT RegisterKey(HKEY parent, const std::wstring& name, const std::wstring* type, const std::wstring& text,
                        bool hasBlock)
    {
        CRegistryKey key;
        if (key.Open(parent, name.c_str(), KEY_READ | KEY_WRITE) != ERROR_SUCCESS &&
            key.Open(parent, name.c_str(), KEY_READ) != ERROR_SUCCESS) {
            const LONG error = key.Create(parent, name.c_str(), KEY_READ | KEY_WRITE);
            if (error != ERROR_SUCCESS)
                return FromWin32(error);
        }
        HRESULT result = S_OK;
        if (type) {
            DWORD kind = 0;
            std::vector<BYTE> data;
            if (FAILED(result = MakeValue(*type, text, &kind, &data)))
                return result;
            if (FAILED(result = FromWin32(
                           RegSetValueExW(key.Get(), nullptr, 0, kind, data.data(), static_cast<DWORD>(data.size())))))
                return result;
        }
        return hasBlock ? Block(key.Get(), true, true) : S_OK;
    }

    HRESULT UnregisterKey(HKEY parent, const std::wstring& name, bool hasBlock, bool noRemove)
    {
        CRegistryKey key;
        const LONG opened = key.Open(parent, name.c_str(), KEY_READ);
        if (opened != ERROR_SUCCESS) {
            // A key that is not there has nothing to take away; its block is only read.
            const HRESULT skipped = hasBlock ? Block(nullptr, false, false) : S_OK;
            return opened == ERROR_FILE_NOT_FOUND ? skipped : FromWin32(opened);
        }
        if (hasBlock) {
            const HRESULT result = Block(key.Get(), false, true);
            if (FAILED(result))
                return result;
        }
        const bool keep = noRemove || HasSubkeys(key.Get());
        key.Close();
        return keep ? S_OK : FromWin32(RegDeleteKeyExW(parent, name.c_str(), 0, 0));
    }

    const std::wstring& m_text;
    size_t m_position = 0;
    int m_depth = 0; // blocks open now
};

} // namespace

HRESULT CRegObject::AddReplacement(const wchar_t* name, const wchar_t* text)
{
    if (!name || !text)
        return E_INVALIDARG;
    try {
        m_replacements.emplace_back(name, text);
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT CRegObject::Preprocess(const wchar_t* script, std::wstring* text) const
{
    for (const wchar_t* c = script; *c; ++c) {
        if (*c != L'%') {
            text->push_back(*c);
            continue;
        }
        if (c[1] == L'%') {
            text->push_back(L'%');
            ++c;
            continue;
        }
        const wchar_t* end = wcschr(c + 1, L'%');
        if (!end)
            return DISP_E_EXCEPTION;
        const std::wstring name(c + 1, end);
        if (name.size() > MaxReplacementName)
            return E_FAIL;
        const std::wstring* found = nullptr;
        for (const auto& replacement : m_replacements) {
            if (Is(replacement.first, name.c_str())) {
                found = &replacement.second;
                break;
            }
        }
        if (!found)
            return DISP_E_EXCEPTION;
        text->append(*found);
        c = end;
    }
    return S_OK;
}

HRESULT CRegObject::RunScript(const wchar_t* script, bool registering)
{
    if (!script)
        return E_INVALIDARG;
    try {
        std::wstring text;
        const HRESULT result = Preprocess(script, &text);
        if (FAILED(result))
            return result;
        return CScriptRun(text).Run(registering);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

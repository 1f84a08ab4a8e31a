#include "nxstring.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "nxlog.h"

void nxString::InitLocal()
{
    m_localstorage[0] = '\0';
    m_length          = 0;
    m_allocation      = LOCAL_STORAGE;
    m_str             = m_localstorage;
}

nxString::nxString() { InitLocal(); }

nxString::nxString(const char* text)
{
    InitLocal();
    if (text != nullptr) SetText(text, strlen(text));
}

nxString::nxString(const nxString& other)
{
    InitLocal();
    SetText(other.m_str, other.m_length);
}

nxString::~nxString() { FreeHeap(); }

void nxString::FreeHeap()
{
    if (m_str != m_localstorage) delete[] m_str;
    m_str = m_localstorage;
}

void nxString::Grow(size_t needed, bool keeptext)
{
    if (m_allocation >= needed) return;
    size_t newsize = (m_str == m_localstorage) ? (needed > 200 ? needed : 200)
                                               : (needed > m_allocation + 100 ? needed : m_allocation + 100);
    char* buffer = new char[newsize];
    if (keeptext) {
        memcpy(buffer, m_str, m_length + 1);
    } else {
        buffer[0] = '\0';
        m_length  = 0;
    }
    FreeHeap();
    m_str        = buffer;
    m_allocation = newsize;
}

void nxString::SetText(const char* text, size_t len)
{
    if (text == m_str) return;
    if (text >= m_str && text < m_str + m_allocation) {   // a piece of our own text
        nxString copy;
        copy.SetText(text, len);
        SetText(copy.m_str, copy.m_length);
        return;
    }
    Grow(len + 1, false);
    memcpy(m_str, text, len);
    m_str[len] = '\0';
    m_length   = len;
}

nxString& nxString::operator=(const nxString& other)
{
    if (this != &other) SetText(other.m_str, other.m_length);
    return *this;
}

nxString& nxString::operator=(const char* text)
{
    if (text == nullptr) SetToNullStr();
    else SetText(text, strlen(text));
    return *this;
}

nxString& nxString::operator=(char c)
{
    char text[2] = {c, '\0'};
    SetText(text, c == '\0' ? 0 : 1);
    return *this;
}

char nxString::GetAt(size_t i) const { return i < m_length ? m_str[i] : '\0'; }

char nxString::operator[](int i) const { return (i >= 0 && (size_t)i < m_length) ? m_str[i] : '\0'; }

void nxString::SetAt(size_t i, char c)
{
    if (i >= m_length) return;
    m_str[i] = c;
    if (c == '\0') m_length = i;
}

void nxString::Empty(nxBOOL releasememory)
{
    if (releasememory) {
        FreeHeap();
        m_allocation = LOCAL_STORAGE;
    }
    m_str[0] = '\0';
    m_length = 0;
}

void nxString::SetToNullStr() { Empty(false); }

nxBOOL nxString::CheckAllocation(size_t needed, nxBOOL keeptext)
{
    if (m_allocation < needed) Grow(needed, keeptext);
    return true;
}

nxBOOL nxString::ReserveAndErase(int needed)
{
    if (needed > 0) Grow((size_t)needed, false);
    m_str[0] = '\0';
    m_length = 0;
    return true;
}

size_t nxString::UpdateLengthAfterExternalWrite()
{
    size_t len = strlen(m_str);
    if (len > m_allocation) {
        printf("nxString::UpdateLengthAfterExternalWrite, The external write exceeded the allocated buffer");
        printf("\n***ABORTING PROGRAM ***");
        fflush(stdout);
        abort();
    }
    m_length = len;
    return len;
}

nxBOOL nxString::CopyString(const char* text, size_t lenplusone)
{
    if (text == nullptr) {
        Empty(false);
        return false;
    }
    size_t len = (lenplusone == 0) ? strlen(text) : lenplusone - 1;
    SetText(text, len);
    return true;
}

void nxString::sprintf(const char* format, ...)
{
    char buffer[FORMAT_BUFFER];
    memset(buffer, 0, sizeof(buffer));
    va_list args;
    va_start(args, format);
    int n = vsnprintf(buffer, FORMAT_BUFFER - 1, format, args);
    va_end(args);
    if ((unsigned int)n > FORMAT_BUFFER - 1) {
        fprintf(stderr, "nxString:sprintf, exception executing vsprintf, error code = %d. format paramater =[%s]\n",
                n, format);
    }
    SetText(buffer, strlen(buffer));
}

// Formats every log record. The working buffer is bounded: a longer text is
// cut at 1023 characters rather than written past the buffer.
void nxString::vsprintf(const char* format, va_list args)
{
    char buffer[FORMAT_BUFFER];
    buffer[0] = '\0';
    vsnprintf(buffer, FORMAT_BUFFER, format, args);
    SetText(buffer, strlen(buffer));
}

void nxString::concatenate(const char* a, size_t lena, const char* b, size_t lenb)
{
    nxString result;
    result.Grow(lena + lenb + 1, false);
    if (lena) memcpy(result.m_str, a, lena);
    if (lenb) memcpy(result.m_str + lena, b, lenb);
    result.m_str[lena + lenb] = '\0';
    result.m_length           = lena + lenb;
    *this                     = result;
}

void nxString::AddAString(const char* text, size_t len)
{
    if (text == nullptr || len == 0) return;
    if (text >= m_str && text < m_str + m_allocation) {   // appending a piece of ourselves
        nxString copy;
        copy.SetText(text, len);
        AddAString(copy.m_str, copy.m_length);
        return;
    }
    Grow(m_length + len + 1, true);
    memcpy(m_str + m_length, text, len);
    m_length += len;
    m_str[m_length] = '\0';
}

nxString& nxString::operator+=(const nxString& other)
{
    AddAString(other.m_str, other.m_length);
    return *this;
}

nxString& nxString::operator+=(char c)
{
    if (c != '\0') AddAString(&c, 1);
    return *this;
}

nxString& nxString::operator+=(const char* text)
{
    if (text != nullptr) AddAString(text, strlen(text));
    return *this;
}

nxString operator+(const nxString& a, const nxString& b)
{
    nxString r;
    r.concatenate(a.m_str, a.m_length, b.m_str, b.m_length);
    return r;
}

nxString operator+(const nxString& a, char c)
{
    nxString r(a);
    r += c;
    return r;
}

nxString operator+(char c, const nxString& b)
{
    nxString r;
    r = c;
    r += b;
    return r;
}

nxString operator+(const nxString& a, const char* b)
{
    nxString r;
    r.concatenate(a.m_str, a.m_length, b ? b : "", b ? strlen(b) : 0);
    return r;
}

nxString operator+(const char* a, const nxString& b)
{
    nxString r;
    r.concatenate(a ? a : "", a ? strlen(a) : 0, b.m_str, b.m_length);
    return r;
}

int nxStringCompare(const char* a, const char* b) { return strcmp(a ? a : "", b ? b : ""); }

// ---------------------------------------------------------------------------
const char* nxStringArray::defsep = " ,\t\n";

nxStringArray::nxStringArray() { m_strings.reserve(64); }

int nxStringArray::Add(const char* text)
{
    m_strings.emplace_back(text);
    return (int)m_strings.size();
}

nxString& nxStringArray::GetAt(int index)
{
    static nxString blank;
    if (index < 0 || index >= (int)m_strings.size()) {
        nxLogBase::Record(nxlog_warning, __FILE__, __LINE__, "nxStringArray::GetAt, Index (%d) is out of bounds (0 to %d)",
                          index, (int)m_strings.size() - 1);
        blank.Empty(false);
        return blank;
    }
    return m_strings[(size_t)index];
}

int nxStringArray::Strtok(const char* text, const char* separators)
{
    RemoveAll();
    if (text == nullptr) return 0;
    if (separators == nullptr) separators = defsep;
    std::vector<char> copy(text, text + strlen(text) + 1);
    char* saveptr = nullptr;
    for (char* tok = strtok_r(copy.data(), separators, &saveptr); tok != nullptr;
         tok       = strtok_r(nullptr, separators, &saveptr)) {
        Add(tok);
    }
    return (int)m_strings.size();
}

void nxStringArray::RemoveAll() { m_strings.clear(); }

void nxStringArray::Reserve(int n)
{
    if (n > 0) m_strings.reserve((size_t)n);
}

#pragma once
// nxString: the 8-bit text type of the support library, with 100 characters of
// storage inside the object, printf-style formatting, concatenation and
// comparison. nxStringArray: an ordered list of strings, used to split log
// records into lines.
#include <cstdarg>
#include <cstddef>
#include <vector>

#include "nxbase.h"

class nxString
{
  public:
    enum { LOCAL_STORAGE = 100, FORMAT_BUFFER = 1024 };

  private:
    char   m_localstorage[LOCAL_STORAGE];
    size_t m_length;
    size_t m_allocation;
    char*  m_str;

  private:
    void   InitLocal();
    // Makes room for `needed` characters (terminator included). `fromlocalrule`
    // selects the rule for strings that start from the inline buffer.
    void   Grow(size_t needed, bool keeptext);
    void   SetText(const char* text, size_t len);
    void   FreeHeap();

  public:
    nxString();
    nxString(const char* text);
    nxString(const nxString& other);
    ~nxString();

    nxString& operator=(const nxString& other);
    nxString& operator=(const char* text);
    nxString& operator=(char c);

    operator const char*() const { return m_str; }
    const char* c_str() const { return m_str; }
    size_t      GetLength() const { return m_length; }
    size_t      Allocation() const { return m_allocation; }
    bool        IsInline() const { return m_str == m_localstorage; }

    char   GetAt(size_t i) const;
    char   operator[](int i) const;
    void   SetAt(size_t i, char c);
    void   Empty(nxBOOL releasememory);
    void   SetToNullStr();
    nxBOOL CheckAllocation(size_t needed, nxBOOL keeptext);
    nxBOOL ReserveAndErase(int needed);
    char*  UnsafeBuffer() { return m_str; }
    size_t UpdateLengthAfterExternalWrite();
    nxBOOL CopyString(const char* text, size_t lenplusone);

    void sprintf(const char* format, ...)
#if defined(__GNUC__)
        __attribute__((format(printf, 2, 3)))
#endif
        ;
    void vsprintf(const char* format, va_list args);

    void concatenate(const char* a, size_t lena, const char* b, size_t lenb);
    nxString& operator+=(const nxString& other);
    nxString& operator+=(char c);
    nxString& operator+=(const char* text);
    void      AddAString(const char* text, size_t len);

    friend nxString operator+(const nxString& a, const nxString& b);
    friend nxString operator+(const nxString& a, char c);
    friend nxString operator+(char c, const nxString& b);
    friend nxString operator+(const nxString& a, const char* b);
    friend nxString operator+(const char* a, const nxString& b);
};

int nxStringCompare(const char* a, const char* b);   // strcmp with null as ""

inline bool operator==(const nxString& a, const nxString& b) { return nxStringCompare(a, b) == 0; }
inline bool operator!=(const nxString& a, const nxString& b) { return nxStringCompare(a, b) != 0; }
inline bool operator<(const nxString& a, const nxString& b) { return nxStringCompare(a, b) < 0; }
inline bool operator>(const nxString& a, const nxString& b) { return nxStringCompare(a, b) > 0; }
inline bool operator<=(const nxString& a, const nxString& b) { return nxStringCompare(a, b) <= 0; }
inline bool operator>=(const nxString& a, const nxString& b) { return nxStringCompare(a, b) >= 0; }
inline bool operator==(const nxString& a, const char* b) { return nxStringCompare(a, b) == 0; }
inline bool operator!=(const nxString& a, const char* b) { return nxStringCompare(a, b) != 0; }
inline bool operator<(const nxString& a, const char* b) { return nxStringCompare(a, b) < 0; }
inline bool operator>(const nxString& a, const char* b) { return nxStringCompare(a, b) > 0; }
inline bool operator<=(const nxString& a, const char* b) { return nxStringCompare(a, b) <= 0; }
inline bool operator>=(const nxString& a, const char* b) { return nxStringCompare(a, b) >= 0; }
inline bool operator==(const char* a, const nxString& b) { return nxStringCompare(a, b) == 0; }
inline bool operator!=(const char* a, const nxString& b) { return nxStringCompare(a, b) != 0; }
inline bool operator<(const char* a, const nxString& b) { return nxStringCompare(a, b) < 0; }
inline bool operator>(const char* a, const nxString& b) { return nxStringCompare(a, b) > 0; }
inline bool operator<=(const char* a, const nxString& b) { return nxStringCompare(a, b) <= 0; }
inline bool operator>=(const char* a, const nxString& b) { return nxStringCompare(a, b) >= 0; }

class nxStringArray
{
  private:
    std::vector<nxString> m_strings;

  public:
    static const char* defsep;   // blank, comma, tab and newline

    nxStringArray();
    int       Add(const char* text);
    nxString& GetAt(int index);
    int       GetSize() const { return (int)m_strings.size(); }
    int       Strtok(const char* text, const char* separators);
    void      RemoveAll();
    void      Reserve(int n);
};

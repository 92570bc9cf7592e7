// HttpParser: turns the text received so far on one configuration-server
// connection into a GET or POST request (path, query/form values, cookies, a few
// headers). Owned by the receive loop of one connection and used by that thread
// only; no lock. Matching is literal and case-sensitive throughout.
#pragma once

#include <map>
#include <string>

class HttpParser {
public:
    enum { PARSE_DONE = 0, PARSE_INCOMPLETE = 1, PARSE_MALFORMED = 2 };
    enum { METHOD_GET = 0, METHOD_POST = 1, METHOD_OTHER = 2 };

    HttpParser();

    // 0 done (GET/POST parsed, or an unsupported method), 1 more bytes needed,
    // 2 malformed. Takes a copy: POST trims it.
    int Parse(std::string text);
    // Forgets the last request's values and cookies before the next one.
    void Clear();

    bool GetValue(const std::string& name, std::string& value) const;
    // Cookie names are stored upper case; pass the name upper case.
    bool GetCookieValue(const std::string& name, std::string& value) const;

    // Value of header `name` ("\r\n<name>: " up to the next "\r\n").
    static bool ParseHttpLine(const std::string& headers, const std::string& name,
                              std::string& value);
    // name=value items split at "&", URL-decoded; later names replace earlier ones.
    static void ParseRequestData(const std::string& data, std::map<std::string, std::string>& target);
    // As ParseRequestData but split at ";" with the names turned upper case.
    static void ParseCookieData(const std::string& data, std::map<std::string, std::string>& target);

    // "+" becomes a space, "%hh" the byte (except "<" and ">", which are dropped),
    // a "%" without two hex digits is dropped; an encoded NUL ends the text.
    static void URLDecode(char* text);
    static void URLDecode(std::string& text);

    bool m_parsed;
    std::map<std::string, std::string> m_cookies;
    std::map<std::string, std::string> m_values;
    int m_method;
    bool m_keepAlive;
    std::string m_host;
    std::string m_userAgent;
    std::string m_uri;
    std::string m_body;
    std::string m_cookie;
    std::string m_path;
    // Headers the pages' security and rendering read. Unlike the members
    // above, each is emptied when its header is absent, so one request on a
    // kept-alive connection never borrows another's.
    std::string m_accept;
    std::string m_origin;
    std::string m_referer;
    std::string m_secFetchSite;
    std::string m_authorization;

private:
    int ParseGet(const std::string& text, std::string& headers);
    int ParsePost(std::string& text, std::string& headers);
    void SplitTarget(const std::string& target);
    void Complete(const std::string& headers);
    void ReadOptionalHeaders(const std::string& headers);
};

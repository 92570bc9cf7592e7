#include "sim/WebUi.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "EventChannelRecords.h"

namespace {

struct DriveInfo {
    int slot;
    const char* model;
    const char* capacity;
    const char* usage;
    const char* state;
};

const DriveInfo kDrives[] = {
    {1, "HUS726T4TAL SAS 7.2K", "4000.8GB", "Raid Set # 000", "Normal"},
    {2, "HUS726T4TAL SAS 7.2K", "4000.8GB", "Raid Set # 000", "Normal"},
    {3, "HUS726T4TAL SAS 7.2K", "4000.8GB", "Raid Set # 000", "Normal"},
    {4, "HUS726T4TAL SAS 7.2K", "4000.8GB", "Raid Set # 000", "Normal"},
    {5, "MZ7LH960 SATA SSD", "960.2GB", "Raid Set # 001", "Normal"},
    {6, "MZ7LH960 SATA SSD", "960.2GB", "Raid Set # 001", "Normal"},
    {7, "HUS726T4TAL SAS 7.2K", "4000.8GB", "Hot Spare", "Standby"},
    {8, "", "", "Empty Slot", "N.A."},
};

std::string Escape(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '&': out += "&amp;"; break;
            case '"': out += "&quot;"; break;
            default: out += c;
        }
    }
    return out;
}

std::string Row(std::initializer_list<std::string> cells) {
    std::string out = "<tr>";
    for (const auto& c : cells) out += "<td>" + c + "</td>";
    return out + "</tr>\n";
}

std::string HeadRow(std::initializer_list<const char*> cells) {
    std::string out = "<tr>";
    for (const char* c : cells) out += std::string("<th>") + c + "</th>";
    return out + "</tr>\n";
}

const char* LevelName(char level) {
    switch (level) {
        case 'E': return "Error";
        case 'W': return "Warning";
        default: return "Information";
    }
}

std::string FormatTime(uint32_t packed) {
    KvoEventTime t = KvoUnpackEventTime(packed);
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day,
                  t.hour, t.minute, t.second);
    return text;
}

uint32_t Crc32(const uint8_t* data, size_t n, uint32_t crc = 0) {
    crc = ~crc;
    for (size_t i = 0; i < n; ++i) {
        crc ^= data[i];
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

void PutBE32(std::string& out, uint32_t v) {
    out += char(v >> 24);
    out += char(v >> 16);
    out += char(v >> 8);
    out += char(v);
}

void PngChunk(std::string& png, const char* type, const std::string& data) {
    PutBE32(png, static_cast<uint32_t>(data.size()));
    std::string typed = std::string(type, 4) + data;
    png += typed;
    PutBE32(png, Crc32(reinterpret_cast<const uint8_t*>(typed.data()), typed.size()));
}

// A 16x16 green status lamp, drawn here and stored uncompressed in the PNG.
std::string MakeStatusPng() {
    const int size = 16;
    std::string raw;
    for (int y = 0; y < size; ++y) {
        raw += char(0);  // filter: none
        for (int x = 0; x < size; ++x) {
            int dx = 2 * x - 15, dy = 2 * y - 15;
            int d2 = dx * dx + dy * dy;
            bool inside = d2 <= 15 * 15;
            bool rim = d2 > 12 * 12;
            int shine = (dx < 0 && dy < 0 && d2 < 7 * 7) ? 60 : 0;
            raw += char(rim ? 20 : 40 + shine);
            raw += char(rim ? 110 : 180 + shine);
            raw += char(rim ? 30 : 60 + shine);
            raw += char(inside ? 255 : 0);
        }
    }
    std::string zlib = "\x78\x01";
    zlib += char(1);  // final stored block
    uint16_t len = static_cast<uint16_t>(raw.size());
    zlib += char(len & 0xFF);
    zlib += char(len >> 8);
    zlib += char(~len & 0xFF);
    zlib += char((~len >> 8) & 0xFF);
    zlib += raw;
    uint32_t a = 1, b = 0;
    for (unsigned char c : raw) {
        a = (a + c) % 65521;
        b = (b + a) % 65521;
    }
    PutBE32(zlib, (b << 16) | a);

    std::string ihdr;
    PutBE32(ihdr, size);
    PutBE32(ihdr, size);
    ihdr += char(8);  // bit depth
    ihdr += char(6);  // RGBA
    ihdr += std::string(3, '\0');
    std::string png = "\x89PNG\r\n\x1a\n";
    PngChunk(png, "IHDR", ihdr);
    PngChunk(png, "IDAT", zlib);
    PngChunk(png, "IEND", "");
    return png;
}

bool ParseBenchSize(const std::string& text, size_t& size) {
    if (text.empty() || text.size() > 10) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    unsigned long long v = std::strtoull(text.c_str(), nullptr, 10);
    if (v > WebUi::kMaxBenchBytes) return false;
    size = static_cast<size_t>(v);
    return true;
}

}  // namespace

std::string WebUi::Response(int status, const char* reason, const char* type,
                            const std::string& body, bool keepAlive, bool headOnly) {
    std::string head = "HTTP/1.1 " + std::to_string(status) + " " + reason +
                       "\r\nServer: RAID controller firmware web interface\r\nContent-Type: " +
                       type + "\r\nContent-Length: " + std::to_string(body.size()) +
                       "\r\nCache-Control: no-cache\r\nConnection: " +
                       (keepAlive ? "keep-alive" : "close") + "\r\n\r\n";
    return headOnly ? head : head + body;
}

std::string WebUi::ErrorResponse(int status, const char* reason, bool keepAlive) {
    std::string body = "<!DOCTYPE html><html><head><title>" + std::to_string(status) + " " +
                       reason + "</title></head><body><h1>" + std::to_string(status) + " " +
                       reason + "</h1></body></html>\n";
    return Response(status, reason, "text/html; charset=utf-8", body, keepAlive, false);
}

std::string WebUi::Answer(const WebRequest& request, const WebUiContext& context) {
    bool head = request.method == "HEAD";
    if (request.method != "GET" && request.method != "HEAD" && request.method != "POST")
        return ErrorResponse(405, "Method Not Allowed", request.keepAlive);
    std::string path = request.path.substr(0, request.path.find('?'));
    const char* html = "text/html; charset=utf-8";
    auto page = [&](const std::string& body) {
        return Response(200, "OK", html, body, request.keepAlive, head);
    };
    if (path.compare(0, 7, "/bench/") == 0) {
        size_t size;
        if (!ParseBenchSize(path.substr(7), size))
            return ErrorResponse(400, "Bad Request", request.keepAlive);
        std::string body(size, '\0');
        for (size_t i = 0; i < size; ++i) body[i] = static_cast<char>('a' + i % 26);
        return Response(200, "OK", "application/octet-stream", body, request.keepAlive, head);
    }
    if (path == "/" || path == "/index.html" || path == "/overview.html") return page(Overview(context));
    if (path == "/raidsets.html") return page(RaidSets(context));
    if (path == "/volumes.html") return page(Volumes(context));
    if (path == "/drives.html") return page(Drives(context));
    if (path == "/events.html") return page(EventLog(context));
    if (path == "/style.css")
        return Response(200, "OK", "text/css", StyleSheet(), request.keepAlive, head);
    if (path == "/images/logo.svg")
        return Response(200, "OK", "image/svg+xml", LogoSvg(), request.keepAlive, head);
    if (path == "/images/ok.png")
        return Response(200, "OK", "image/png", StatusPng(), request.keepAlive, head);
    return ErrorResponse(404, "Not Found", request.keepAlive);
}

std::string WebUi::Page(const WebUiContext& c, const char* active, const std::string& title,
                        const std::string& content) {
    static const char* const links[][2] = {{"/", "Overview"},
                                           {"/raidsets.html", "RAID Sets"},
                                           {"/volumes.html", "Volumes"},
                                           {"/drives.html", "Drives"},
                                           {"/events.html", "Event Log"}};
    std::string nav;
    for (const auto& link : links) {
        nav += std::string("<a href=\"") + link[0] + "\"" +
               (std::string(link[1]) == active ? " class=\"active\"" : "") + ">" + link[1] +
               "</a>";
    }
    return "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>" + title +
           " - Controller " + std::to_string(c.controller + 1) +
           "</title><link rel=\"stylesheet\" href=\"/style.css\"></head>\n<body>\n"
           "<header><img src=\"/images/logo.svg\" alt=\"logo\" width=\"40\" height=\"40\">"
           "<div><h1>RAID Storage Manager</h1><p>Controller " +
           std::to_string(c.controller + 1) + " &middot; " + Escape(c.className) + " #" +
           std::to_string(c.instance) + "</p></div></header>\n<nav>" + nav +
           "</nav>\n<main><h2>" + title + "</h2>\n" + content +
           "</main>\n<footer>Firmware V1.56 2026-03-14 &middot; Boot ROM V1.56</footer>\n"
           "</body></html>\n";
}

std::string WebUi::Overview(const WebUiContext& c) {
    std::string serial = "Y" + std::to_string(412000 + c.controller * 17 + c.instance);
    std::string t = "<table class=\"info\">\n";
    t += Row({"Controller Name", "SAS RAID Controller " + std::to_string(c.controller + 1)});
    t += Row({"Serial Number", serial});
    t += Row({"Main Processor", "1200MHz dual core"});
    t += Row({"Cache Memory", "2048MB DDR3-1866 ECC"});
    t += Row({"Battery Backup", "<img src=\"/images/ok.png\" alt=\"\" class=\"lamp\"> Charged (100%)"});
    t += Row({"Controller Temperature", std::to_string(41 + c.controller) + " &deg;C"});
    t += Row({"Drives", "7 installed, 1 empty slot"});
    t += Row({"Volumes", "2 normal"});
    t += "</table>\n<p class=\"status\"><img src=\"/images/ok.png\" alt=\"ok\" class=\"lamp\"> "
         "All RAID sets are normal.</p>\n";
    return Page(c, "Overview", "Controller Overview", t);
}

std::string WebUi::RaidSets(const WebUiContext& c) {
    std::string t = "<table>\n" + HeadRow({"RAID Set", "Member Disks", "Total Capacity",
                                           "Free Capacity", "State"});
    t += Row({"Raid Set # 000", "4 (slots 1-4)", "16003.2GB", "0.0GB", "Normal"});
    t += Row({"Raid Set # 001", "2 (slots 5-6)", "1920.4GB", "320.4GB", "Normal"});
    t += "</table>\n";
    return Page(c, "RAID Sets", "RAID Set Hierarchy", t);
}

std::string WebUi::Volumes(const WebUiContext& c) {
    std::string t = "<table>\n" + HeadRow({"Volume", "RAID Set", "Level", "Capacity",
                                           "Stripe", "Cache", "State"});
    t += Row({"Data", "Raid Set # 000", "RAID 5", "12002.4GB", "64KB", "Write-Back",
              "Normal"});
    t += Row({"System", "Raid Set # 001", "RAID 1", "800.0GB", "64KB", "Write-Back",
              "Normal"});
    t += "</table>\n";
    return Page(c, "Volumes", "Volume Sets", t);
}

std::string WebUi::Drives(const WebUiContext& c) {
    std::string t = "<table>\n" + HeadRow({"Slot", "Model", "Capacity", "Usage", "State"});
    for (const auto& d : kDrives)
        t += Row({std::to_string(d.slot), d.model, d.capacity, d.usage, d.state});
    t += "</table>\n";
    return Page(c, "Drives", "Physical Drives", t);
}

std::string WebUi::EventLog(const WebUiContext& c) {
    std::string t = "<table class=\"events\">\n" + HeadRow({"Time", "Level", "Event", "Status"});
    size_t rows = 0;
    if (c.events) {
        for (auto it = c.events->Queued().rbegin(); it != c.events->Queued().rend(); ++it) {
            if (it->notAnEvent) continue;
            t += Row({FormatTime(it->packedTime), LevelName(it->level), Escape(it->text),
                      "Pending"});
            ++rows;
        }
        for (auto it = c.events->History().rbegin(); it != c.events->History().rend(); ++it) {
            t += Row({FormatTime(it->packedTime), LevelName(it->level), Escape(it->text),
                      "Reported"});
            ++rows;
        }
    }
    if (rows == 0) t += "<tr><td colspan=\"4\">No events recorded.</td></tr>\n";
    t += "</table>\n";
    return Page(c, "Event Log", "System Event Log", t);
}

const std::string& WebUi::StyleSheet() {
    static const std::string css =
        "body{margin:0;font-family:Verdana,Arial,sans-serif;font-size:13px;color:#223;"
        "background:#eef1f5}\n"
        "header{display:flex;align-items:center;gap:12px;padding:10px 18px;"
        "background:linear-gradient(#1d3b63,#14294a);color:#fff}\n"
        "header h1{margin:0;font-size:18px}header p{margin:2px 0 0;font-size:12px;color:#bcd}\n"
        "nav{background:#d9e1ec;padding:6px 18px;border-bottom:1px solid #aab}\n"
        "nav a{margin-right:16px;color:#14294a;text-decoration:none;font-weight:bold}\n"
        "nav a.active{border-bottom:2px solid #e07b00}\n"
        "main{padding:14px 18px}h2{font-size:16px;margin-top:0}\n"
        "table{border-collapse:collapse;background:#fff;min-width:480px}\n"
        "th,td{border:1px solid #c4ccd8;padding:4px 10px;text-align:left}\n"
        "th{background:#e6ebf2}table.info td:first-child{font-weight:bold;width:200px}\n"
        ".lamp{width:12px;height:12px;vertical-align:middle}\n"
        ".status{margin-top:12px}footer{padding:8px 18px;color:#667;font-size:11px}\n";
    return css;
}

const std::string& WebUi::LogoSvg() {
    static const std::string svg =
        "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"40\" height=\"40\" "
        "viewBox=\"0 0 40 40\">"
        "<rect x=\"2\" y=\"4\" width=\"36\" height=\"32\" rx=\"4\" fill=\"#e07b00\"/>"
        "<rect x=\"7\" y=\"9\" width=\"26\" height=\"5\" rx=\"1\" fill=\"#fff\"/>"
        "<rect x=\"7\" y=\"17\" width=\"26\" height=\"5\" rx=\"1\" fill=\"#fff\"/>"
        "<rect x=\"7\" y=\"25\" width=\"26\" height=\"5\" rx=\"1\" fill=\"#fff\"/>"
        "<circle cx=\"29\" cy=\"11.5\" r=\"1.5\" fill=\"#2a2\"/>"
        "<circle cx=\"29\" cy=\"19.5\" r=\"1.5\" fill=\"#2a2\"/>"
        "<circle cx=\"29\" cy=\"27.5\" r=\"1.5\" fill=\"#2a2\"/></svg>\n";
    return svg;
}

const std::string& WebUi::StatusPng() {
    static const std::string png = MakeStatusPng();
    return png;
}

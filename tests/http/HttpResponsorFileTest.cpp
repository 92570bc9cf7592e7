#include <gtest/gtest.h>

#include <string>

#include "HttpDate.h"
#include "TestSupport.h"
#include "http/HttpResponsor.h"

namespace {

std::string Read(const std::string& path, int* length) {
    char* data = reinterpret_cast<char*>(1);
    *length = HttpResponsor::ReadFile(path, &data);
    if (*length == 0) {
        EXPECT_EQ(data, nullptr);
        return "";
    }
    std::string text(data, static_cast<size_t>(*length));
    delete[] data;
    return text;
}

std::string Pattern(size_t size) {
    std::string text(size, '\0');
    for (size_t i = 0; i < size; ++i) text[i] = static_cast<char>((i * 7 + i / 251) & 0xff);
    return text;
}

TEST(HttpResponsorReadFile, ReadsWholeFilesAcrossBufferDoublings) {
    kvotest::TempDir dir;
    // around the first buffer (15360) and the second doubling (61440)
    for (size_t size : {1u, 15359u, 15360u, 15361u, 30720u, 61440u, 61441u, 200000u}) {
        std::string want = Pattern(size);
        std::string file = dir.file("f" + std::to_string(size));
        kvotest::WriteFileText(file, want);
        int length = 0;
        std::string got = Read(file, &length);
        EXPECT_EQ(length, static_cast<int>(size));
        EXPECT_TRUE(got == want) << "size " << size;
    }
}

TEST(HttpResponsorReadFile, EmptyMissingOrDirectoryGiveNothing) {
    kvotest::TempDir dir;
    kvotest::WriteFileText(dir.file("empty"), "");
    int length = -1;
    Read(dir.file("empty"), &length);
    EXPECT_EQ(length, 0);
    Read(dir.file("missing"), &length);
    EXPECT_EQ(length, 0);
    Read(dir.path() + "/", &length);
    EXPECT_EQ(length, 0);
}

TEST(HttpResponsorMime, TableHasItsShadowedKeys) {
    EXPECT_EQ(HttpResponsor::MimeTypes.size(), 68u);
    struct Case {
        const char* path;
        const char* type;
    } cases[] = {
        {"a.html", "text/html"},          {"a.htm", "text/html"},
        {"a.arj", "application/x-arj"},   {"a.rtf", "application/rtf"},
        {"a.xsl", "application/xml"},     {"x/y.z/a.gif", "image/gif"},
        {"a.tar.gz", "application/x-gzip"}, {"a.cab", "application/x-compressed"},
        {"a.rtx", "text/richtext"},       {"a.plx", "wwwserver/isapi"},
        {"a.h", "text/plain"},            {"a.log", "application/octet-stream"},
        {"a.css", "text/css"},            {"a.mpe", "video/mpeg"},
    };
    for (const Case& c : cases) {
        std::string type;
        EXPECT_GE(HttpResponsor::GetMimeType(c.path, type), 0);
        EXPECT_EQ(type, c.type) << c.path;
    }
}

TEST(HttpResponsorMime, UnknownCaseOrMissingExtensionLeavesTypeAlone) {
    for (const char* path : {"a.HTML", "a.ico", "a.jar", "a.", "dir.d/file", "a.Gif"}) {
        std::string type = "kept";
        EXPECT_GE(HttpResponsor::GetMimeType(path, type), 0) << path;
        EXPECT_EQ(type, "kept") << path;
    }
    std::string type = "kept";
    EXPECT_EQ(HttpResponsor::GetMimeType("noext", type), -1);
    EXPECT_EQ(HttpResponsor::GetMimeType("dir/a.b.xsl", type), 7);
    EXPECT_EQ(type, "application/xml");
}

TEST(HttpResponsorTime, IsAnHttpDateInUtc) {
    std::string now;
    HttpResponsor::GetTime(now);
    EXPECT_TRUE(kvotest::LooksLikeHttpDate(now)) << now;
    EXPECT_FALSE(kvotest::LooksLikeHttpDate("Xyz, 07 Dec 2026 21:00:00 GMT"));
    EXPECT_FALSE(kvotest::LooksLikeHttpDate("Mon, 07 Dec 2026 21:00:00 UTC"));
}

TEST(HttpResponsorPath, ParentSegmentsAreSpotted) {
    for (const char* bad : {"..", "../x", "/a/../b", "a/..", "/usr/share/kvoomx/webguiroot/xsl/../../x",
                            "a//../b"})
        EXPECT_TRUE(HttpResponsor::HasParentSegment(bad)) << bad;
    for (const char* good : {"", "/", "a..b", "...", "/a/.../b", "a/.x/..y", "..a/b", "a/b..",
                             "/usr/share/kvoomx/webguiroot/"})
        EXPECT_FALSE(HttpResponsor::HasParentSegment(good)) << good;
}

}  // namespace

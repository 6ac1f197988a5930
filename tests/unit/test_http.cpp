// Requests that always end: redirects followed with care, the limits'
// clock, and the manifest's size limit, against the run's test server.
#include <gtest/gtest.h>

#include "os/transfer.h"
#include "platform/http.h"
#include "testutil.h"
#include "version/manifest.h"

using testutil::WriteFile;

TEST(ResolveUrl, RelativeReferencesAsRfc3986Resolves) {
  const std::string base = "http://a.example:81/b/c/d.ver?q=1#f";
  EXPECT_EQ(ResolveUrl(base, "https://x.example/y"), "https://x.example/y");
  EXPECT_EQ(ResolveUrl(base, "//x.example/y"), "http://x.example/y");
  EXPECT_EQ(ResolveUrl(base, "/y/z.ver"), "http://a.example:81/y/z.ver");
  EXPECT_EQ(ResolveUrl(base, "g.ver"), "http://a.example:81/b/c/g.ver");
  EXPECT_EQ(ResolveUrl(base, "../g.ver?x"), "http://a.example:81/b/g.ver?x");
  EXPECT_EQ(ResolveUrl(base, "./../../../g"), "http://a.example:81/g");
  EXPECT_EQ(ResolveUrl(base, "?r"), "http://a.example:81/b/c/d.ver?r");
  EXPECT_EQ(ResolveUrl(base, ""), "http://a.example:81/b/c/d.ver?q=1");
  EXPECT_EQ(ResolveUrl("http://a.example", "g"), "http://a.example/g");
  EXPECT_EQ(ResolveUrl(base, "/y/."), "http://a.example:81/y/");
  EXPECT_EQ(ResolveUrl(base, "FTP://x/y"), "FTP://x/y");
  // A name beyond ASCII goes by its UTF-8 bytes, percent-encoded; the host stays.
  EXPECT_EQ(PercentEncodeUrl("http://h\xC3\xA9:8/a b/\xD0\xA1.zip?q=\xE6\x9D\x8E#%41"),
            "http://h\xC3\xA9:8/a b/%D0%A1.zip?q=%E6%9D%8E#%41");
  EXPECT_EQ(PercentEncodeUrl("http://host"), "http://host");
}

TEST(TransferWatch, TooFewBytesInAWindowOrThePassedDeadlineEndTheTransfer) {
  os::TransferLimits limits;  // 1,024 bytes in 30 s
  os::TransferWatch watch(limits, 1000);
  EXPECT_EQ(watch.MsLeft(1000), 30000u);
  watch.Received(1023, 20000);  // not enough: the window stays
  EXPECT_EQ(watch.MsLeft(30999), 1u);
  EXPECT_TRUE(watch.Expired(31000));
  watch.Received(1, 30999);  // 1,024 in the window: a new one starts
  EXPECT_EQ(watch.MsLeft(31000), 29999u);
  watch.Restart(50000);
  EXPECT_EQ(watch.MsLeft(50000), 30000u);

  limits.deadlineMs = 60000;
  os::TransferWatch bounded(limits, 40000);
  EXPECT_EQ(bounded.MsLeft(40000), 20000u);  // the deadline comes first
  bounded.Received(1 << 20, 59999);
  EXPECT_FALSE(bounded.Expired(59999));
  EXPECT_TRUE(bounded.Expired(60000));  // however fast the bytes come
}

TEST(OpenUrl, RedirectsAreFollowedOnlyWhereThatIsSafe) {
  REQUIRE_SERVER();
  const std::string url = testutil::ServerUrl();
  WriteFile(testutil::ServerRoot() + "target.ver", "ver=2.31\r\n");
  testutil::SetServerFaults(
      R"({"/hop1.ver": {"redirect": "hop2.ver", "code": 301},)"
      R"( "/hop2.ver": {"redirect": "/target.ver", "code": 307},)"
      R"( "/loop.ver": {"redirect": "/loop.ver"},)"
      R"( "/ftp.ver": {"redirect": "ftp://127.0.0.1/target.ver", "body": "ver=9.9\r\n"},)"
      R"( "/file.ver": {"redirect": "file:///etc/hostname", "body": "ver=9.9\r\n"},)"
      R"( "/nowhere.ver": {"status": 302, "body": "ver=9.9\r\n"},)"
      R"( "/notmod.ver": {"status": 304},)"
      R"( "/multi.ver": {"status": 300, "body": "ver=9.9\r\n",)"
      R"(    "headers": {"Location": "/target.ver"}}})");
  std::string text;
  EXPECT_TRUE(FetchText(url + "hop1.ver", text));
  EXPECT_EQ(text, "ver=2.31\r\n");
  // A 3xx that is not followed is no manifest, whatever its body says.
  for (const char* path :
       {"loop.ver", "ftp.ver", "file.ver", "nowhere.ver", "notmod.ver", "multi.ver"}) {
    SCOPED_TRACE(path);
    text = "stale";
    EXPECT_FALSE(FetchText(url + path, text));
    EXPECT_EQ(text, "");
  }
  // The request and ten redirects, then no more.
  int loops = 0;
  for (const std::string& line : testutil::ServerRequests())
    if (line == "/loop.ver") ++loops;
  EXPECT_EQ(loops, 1 + kMaxRedirects);
  testutil::SetServerFaults("{}");
}

TEST(FetchText, AManifestPastTheSizeLimitIsNone) {
  REQUIRE_SERVER();
  const std::string url = testutil::ServerUrl();
  const std::string head = "ver=9.9\r\n";
  testutil::SetServerFaults(R"({"/exact.ver": {"generate": )" +
                            std::to_string(kManifestMaxBytes - head.size()) +
                            R"(, "body": "ver=9.9\r\n", "chunked": true},)"
                            R"( "/over.ver": {"generate": )" +
                            std::to_string(kManifestMaxBytes - head.size() + 1) +
                            R"(, "body": "ver=9.9\r\n", "chunked": true},)"
                            R"( "/announced.ver": {"generate": )" +
                            std::to_string(256u << 20) +
                            R"(, "body": "ver=9.9\r\n"},)"
                            R"( "/endless.ver": {"endless": true, "body": "ver=9.9\r\n"}})");
  std::string text;
  EXPECT_TRUE(FetchText(url + "exact.ver", text));
  EXPECT_EQ(text.size(), kManifestMaxBytes);
  for (const char* path : {"over.ver", "announced.ver", "endless.ver"}) {
    SCOPED_TRACE(path);
    EXPECT_FALSE(FetchText(url + path, text));
    EXPECT_EQ(text, "");
  }
  testutil::SetServerFaults("{}");

  // The same limit for a manifest in the application folder.
  testutil::TempDir dir;
  WriteFile(dir / "big.ver", head + std::string(kManifestMaxBytes - head.size(), ' '));
  EXPECT_TRUE(ReadTextFile(dir / "big.ver", text));
  WriteFile(dir / "big.ver", head + std::string(kManifestMaxBytes - head.size() + 1, ' '));
  text = "stale";
  EXPECT_FALSE(ReadTextFile(dir / "big.ver", text));
  EXPECT_EQ(text, "");
}

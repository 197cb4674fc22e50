// HTTP downloader against Python's http.server and a raw loopback server that
// splits, stalls, truncates, lies about lengths and answers with any status.
#include "cloud/http_handle.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "core/sys_utils.h"
#include "platform/plat_clock.h"
#include "support/child.h"
#include "support/http_peers.h"
#include "support/test_root.h"

namespace {

const char *const kSave = "/iot/conf/GD32.hex";

std::string random_bytes(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (auto &c : s) c = static_cast<char>(gen());
    return s;
}

struct Download {
    int result = -1;
    std::string out;  // console
    unsigned char digest[16] = {};
};

Download fetch(uint16_t port, const char *path = "/fw/GD32.hex", const char *host = "127.0.0.1") {
    Download d;
    testing::internal::CaptureStdout();
    d.result = http_get(host, port, path, kSave, d.digest);
    d.out = testing::internal::GetCapturedStdout();
    return d;
}

// The digest returned must be the MD5 of what is in the file.
void expect_digest_of_file(const Download &d) {
    unsigned char want[16];
    ASSERT_EQ(get_file_md5(kSave, want), 1);
    EXPECT_EQ(memcmp(d.digest, want, 16), 0);
}

}  // namespace

TEST(HttpGet, PythonServerFileStoredByteForByteWithItsMd5) {
    TestRoot root;
    root.mkdirs("/iot/conf");
    const std::string body = random_bytes(20000, 1);
    root.write("/www/fw/GD32.hex", body);
    PyHttpServer py(root.at("/www"));
    ASSERT_TRUE(py.ok());
    Download d = fetch(py.port());
    ASSERT_EQ(d.result, 1) << d.out;
    EXPECT_EQ(root.read(kSave), body);
    expect_digest_of_file(d);
    EXPECT_NE(d.out.find("Download ok ..."), std::string::npos);
    EXPECT_NE(d.out.find("--Content-Length::20000 \n"), std::string::npos) << d.out;
    // A name works as well as a dotted address (from /etc/hosts, no resolver traffic).
    Download byname = fetch(py.port(), "/fw/GD32.hex", "localhost");
    EXPECT_EQ(byname.result, 1) << byname.out;
    // Python's own 404 page is no firmware.
    Download missing = fetch(py.port(), "/fw/none.hex");
    EXPECT_EQ(missing.result, 0);
}

TEST(HttpGet, RequestBytesUseBareLineFeeds) {
    TestRoot root;
    root.mkdirs("/iot/conf");
    const std::string body = random_bytes(10240, 2);
    RawHttpServer srv({raw_send(http_ok_head(body.size()) + body)});
    ASSERT_NE(srv.port(), 0);
    Download d = fetch(srv.port(), "/ota/v1.2/lib.so?x=1");
    ASSERT_EQ(d.result, 1) << d.out;
    EXPECT_EQ(srv.request(),
              "GET /ota/v1.2/lib.so?x=1 HTTP/1.1\nHost: 127.0.0.1\n"
              "Content-Type: application/x-www-form-urlencoded\n\n\n");
    EXPECT_NE(d.out.find("download from http ://127.0.0.1:" + std::to_string(srv.port()) +
                         "/ota/v1.2/lib.so?x=1 save to /iot/conf/GD32.hex\n"),
              std::string::npos)
        << d.out;
}

// Both separators; body in the header's chunk; extra bytes after the length.
TEST(HttpGet, EitherSeparatorStartsTheBodyAndExtraBytesAreDropped) {
    for (bool crlf : {true, false}) {
        SCOPED_TRACE(crlf ? "CRLF" : "LF");
        TestRoot root;
        root.mkdirs("/iot/conf");
        const std::string body = random_bytes(12345, 3);
        RawHttpServer srv({raw_send(http_ok_head(body.size(), crlf) + body + "TRAILING GARBAGE")});
        Download d = fetch(srv.port());
        ASSERT_EQ(d.result, 1) << d.out;
        EXPECT_EQ(root.read(kSave), body);
        expect_digest_of_file(d);
    }
}

// A CRLF header followed by a binary body with a pair of LFs in its first
// bytes: the header ends at the earliest separator, not at the body's LFs.
TEST(HttpGet, PairOfLineFeedsInsideTheBodyIsBodyData) {
    TestRoot root;
    root.mkdirs("/iot/conf");
    std::string body = "\x7f" "ELF\n\n\x01\x02" + random_bytes(11000, 4);
    RawHttpServer srv({raw_send(http_ok_head(body.size(), true) + body)});
    Download d = fetch(srv.port());
    ASSERT_EQ(d.result, 1) << d.out;
    EXPECT_EQ(root.read(kSave), body);
}

// The header trickles in a byte at a time: the length field and the separator
// both straddle reads.
TEST(HttpGet, HeaderSplitAcrossReadsIsAssembled) {
    TestRoot root;
    root.mkdirs("/iot/conf");
    const std::string body = random_bytes(10240, 5);
    const std::string head = http_ok_head(body.size(), true);
    RawHttpServer srv({raw_send(head.substr(0, head.size() - 1), 2), raw_send(head.substr(head.size() - 1) + body)});
    Download d = fetch(srv.port());
    ASSERT_EQ(d.result, 1) << d.out;
    EXPECT_EQ(root.read(kSave), body);
    EXPECT_NE(d.out.find("socket read i:5 "), std::string::npos);
}

TEST(HttpGet, LengthBelowTenKibFailsWithoutWritingTheBody) {
    TestRoot root;
    root.mkdirs("/iot/conf");
    const std::string body = random_bytes(9999, 6);
    RawHttpServer srv({raw_send(http_ok_head(body.size()) + body)});
    Download d = fetch(srv.port());
    EXPECT_EQ(d.result, 0);
    EXPECT_NE(d.out.find("--Content-Length::9999 \n"), std::string::npos) << d.out;
    EXPECT_TRUE(root.exists(kSave));
    EXPECT_EQ(root.read(kSave), "");
}

TEST(HttpGet, MissingOrMalformedContentLengthFails) {
    const std::vector<std::pair<std::string, std::string>> heads = {
        {"HTTP/1.1 200 OK\r\nServer: x\r\n\r\n", "recv data from 127.0.0.1 4 failed\n"},
        {"HTTP/1.1 200 OK\r\nContent-Length: 99999999999999999999\r\n\r\n", "bad header"},
        {"HTTP/1.1 200 OK\r\nContent-Length: -20000\r\n\r\n", "bad header"},
        {"HTTP/1.1 200 OK\r\nContent-Length: 20000x\r\n\r\n", "bad header"},
        {"HTTP/1.1 200 OK\r\nContent-Length: 20000\r\nContent-Length: 10240\r\n\r\n", "bad header"},
        {"HTTP/1.1 200 OK\r\nContent-Length: 20000\r\nTransfer-Encoding: chunked\r\n\r\n", "bad header"},
        {"garbage without a status line\r\nContent-Length: 20000\r\n\r\n", "http status"},
    };
    for (const auto &[head, msg] : heads) {
        SCOPED_TRACE(head);
        TestRoot root;
        root.mkdirs("/iot/conf");
        RawHttpServer srv({raw_send(head + random_bytes(20000, 7))});
        Download d = fetch(srv.port());
        EXPECT_EQ(d.result, 0);
        EXPECT_NE(d.out.find(msg), std::string::npos) << d.out;
        EXPECT_EQ(root.read(kSave), "");
    }
}

TEST(HttpGet, OnlyTwoHundredsAreSuccess) {
    TestRoot root;
    root.mkdirs("/iot/conf");
    const std::string page = std::string(12 * 1024, 'x');
    for (const char *status : {"404 Not Found", "500 Internal Server Error", "302 Found", "199 Odd"}) {
        SCOPED_TRACE(status);
        RawHttpServer srv({raw_send(std::string("HTTP/1.1 ") + status + "\r\nContent-Length: " +
                                    std::to_string(page.size()) + "\r\n\r\n" + page)});
        Download d = fetch(srv.port());
        EXPECT_EQ(d.result, 0);
        EXPECT_NE(d.out.find("http status"), std::string::npos) << d.out;
        EXPECT_EQ(root.read(kSave), "");
    }
    RawHttpServer srv({raw_send("HTTP/1.0 206 Partial Content\nContent-Length: 10240\n\n" + page)});
    EXPECT_EQ(fetch(srv.port()).result, 1);
}

TEST(HttpGet, BodyShorterThanItsLengthFails) {
    TestRoot root;
    root.mkdirs("/iot/conf");
    const std::string body = random_bytes(15000, 8);
    RawHttpServer srv({raw_send(http_ok_head(20000) + body)});
    Download d = fetch(srv.port());
    EXPECT_EQ(d.result, 0);
    EXPECT_NE(d.out.find("recv data from 127.0.0.1  failed\n"), std::string::npos) << d.out;
    // Left as it is: partial.
    EXPECT_EQ(root.read(kSave), body);
}

TEST(HttpGet, BodyLargerThanTheFreeSpaceIsRefusedBeforeWriting) {
    TestRoot root;
    root.mkdirs("/iot/conf");
    root.write("/var/sim/disk_free", "19999\n");
    RawHttpServer srv({raw_send(http_ok_head(20000) + random_bytes(20000, 9))});
    Download d = fetch(srv.port());
    EXPECT_EQ(d.result, 0);
    EXPECT_NE(d.out.find("20000 bytes do not fit"), std::string::npos) << d.out;
    EXPECT_EQ(root.read(kSave), "");
    root.write("/var/sim/disk_free", "20000\n");
    EXPECT_EQ(fetch(srv.port()).result, 1);
}

TEST(HttpGet, FailedFileWriteFailsTheDownload) {
    TestRoot root;
    root.mkdirs("/iot/conf");
    RawHttpServer srv({raw_send(http_ok_head(20000) + random_bytes(20000, 10))});
    ChildResult r = run_child([&srv] {
        // The file may not grow past 12000 bytes: the write after that fails.
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit lim {12000, 12000};
        setrlimit(RLIMIT_FSIZE, &lim);
        unsigned char dg[16];
        _exit(http_get("127.0.0.1", srv.port(), "/f", kSave, dg) == 0 ? 0 : 1);
    });
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("write /iot/conf/GD32.hex failed"), std::string::npos) << r.out;
    // Opening a file in a directory that does not exist fails too.
    unsigned char dg[16];
    testing::internal::CaptureStdout();
    EXPECT_EQ(http_get("127.0.0.1", srv.port(), "/f", "/no/dir/f.bin", dg), 0);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("open /no/dir/f.bin failed"), std::string::npos);
}

TEST(HttpGet, StallsWithinTwoSecondsAreWaitedOutLongerOnesFail) {
    TestRoot root;
    root.mkdirs("/iot/conf");
    const std::string body = random_bytes(20000, 11);
    {
        RawHttpServer srv({raw_send(http_ok_head(body.size()) + body.substr(0, 5000)), raw_pause(1200),
                           raw_send(body.substr(5000))});
        Download d = fetch(srv.port());
        EXPECT_EQ(d.result, 1) << d.out;
        EXPECT_EQ(root.read(kSave), body);
    }
    {
        RawHttpServer srv({raw_send(http_ok_head(body.size()) + body.substr(0, 5000)), raw_pause(2600),
                           raw_send(body.substr(5000))});
        Download d = fetch(srv.port());
        EXPECT_EQ(d.result, 0);
        EXPECT_NE(d.out.find("recv data from 127.0.0.1 failed\n"), std::string::npos) << d.out;
    }
}

// The 20 s header limit runs on the agent's clock: the server moves the fake
// clock 3 s per header byte instead of making the test wait.
TEST(HttpGet, HeaderThatTakesOverTwentySecondsFails) {
    TestRoot root;
    root.mkdirs("/iot/conf");
    plat_clock_fake(1700000000);
    std::vector<RawStep> slow;
    for (char c : std::string("HTTP/1.1 200 OK\r\nContent-Length: 20000\r\nX-Slow: yes\r\n")) {
        slow.push_back(raw_send(std::string(1, c)));
        slow.push_back(raw_advance(3000));
        slow.push_back(raw_pause(5));
    }
    RawHttpServer srv(slow);
    Download d = fetch(srv.port());
    EXPECT_EQ(d.result, 0);
    EXPECT_NE(d.out.find("recv data from 127.0.0.1  timeout\n"), std::string::npos) << d.out;

    // The same header at 2 s a chunk in six chunks stays within the limit.
    const std::string head = http_ok_head(10240);
    std::vector<RawStep> ok;
    for (size_t i = 0; i < head.size(); i += 12) {
        ok.push_back(raw_send(head.substr(i, 12)));
        ok.push_back(raw_advance(i + 12 < head.size() ? 2000 : 0));
        ok.push_back(raw_pause(5));
    }
    ok.push_back(raw_send(std::string(10240, 'b')));
    RawHttpServer srv2(ok);
    Download d2 = fetch(srv2.port());
    EXPECT_EQ(d2.result, 1) << d2.out;
}

// A server that keeps sending, but slower than the floor rate, is cut off at
// the deadline its length gives (fake clock: 5 s per 2000 bytes); the same
// body at 400 ms a chunk arrives.
TEST(HttpGet, TrickleIsCutOffAtTheDeadlineOfItsLength) {
    EXPECT_EQ(http_deadline_ms(40960), kHttpDeadlineGraceMs + 10000);
    EXPECT_EQ(http_deadline_ms(100LL << 20), kHttpDeadlineCapMs);
    TestRoot root;
    root.mkdirs("/iot/conf");
    plat_clock_fake(1700000000);
    const std::string body = random_bytes(40000, 12);
    auto script = [&](int step_ms) {
        std::vector<RawStep> s = {raw_send(http_ok_head(body.size()))};
        for (size_t i = 0; i < body.size(); i += 2000) {
            s.push_back(raw_pause(5));
            s.push_back(raw_advance(step_ms));
            s.push_back(raw_send(body.substr(i, 2000)));
        }
        return s;
    };
    RawHttpServer slow(script(5000));
    Download d = fetch(slow.port());
    EXPECT_EQ(d.result, 0);
    EXPECT_NE(d.out.find("download from 127.0.0.1 not done within 39 s"), std::string::npos) << d.out;
    RawHttpServer fast(script(400));
    Download d2 = fetch(fast.port());
    EXPECT_EQ(d2.result, 1) << d2.out;
    EXPECT_EQ(root.read(kSave), body);
}

TEST(HttpGet, UnusableHostPathOrPeerFailsBeforeAnyFile) {
    TestRoot root;
    root.mkdirs("/iot/conf");
    // A port nobody listens on: refused, which is no success even though the
    // socket turns writable.
    int probe = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t al = sizeof a;
    ASSERT_EQ(bind(probe, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    ASSERT_EQ(getsockname(probe, reinterpret_cast<sockaddr *>(&a), &al), 0);
    close(probe);
    Download refused = fetch(ntohs(a.sin_port));
    EXPECT_EQ(refused.result, 0);
    EXPECT_NE(refused.out.find("connect 127.0.0.1 failed\n"), std::string::npos) << refused.out;

    RawHttpServer srv({raw_send(http_ok_head(10240) + std::string(10240, 'z'))});
    EXPECT_EQ(fetch(srv.port(), "/a b").result, 0);          // a blank would end the request line
    EXPECT_EQ(fetch(srv.port(), "/a\nHost: evil").result, 0);  // a line end would forge a field
    EXPECT_EQ(fetch(srv.port(), "nopath").result, 0);
    EXPECT_EQ(fetch(srv.port(), ("/" + std::string(600, 'p')).c_str()).result, 0);  // request over 512 bytes
    Download badhost = fetch(srv.port(), "/f", "bad host");
    EXPECT_NE(badhost.out.find("getaddrinfo bad host  failed\n"), std::string::npos) << badhost.out;
    EXPECT_EQ(srv.connections(), 0);
    EXPECT_FALSE(root.exists(kSave));
}

// ---- header phase on its own ----------------------------------------------------

TEST(HttpHead, EarliestSeparatorWinsAcrossChunkBoundaries) {
    const std::string answer = "HTTP/1.1 200 OK\r\nContent-Length: 10240\r\n\r\nA\n\nB";
    for (size_t cut = 1; cut < answer.size(); ++cut) {
        SCOPED_TRACE(cut);
        HttpHead h;
        size_t at = 999;
        HttpHeadResult r = http_head_feed(&h, answer.data(), cut, &at);
        size_t offset = 0;
        if (r == HttpHeadResult::kMore) {
            r = http_head_feed(&h, answer.data() + cut, answer.size() - cut, &at);
            offset = cut;
        }
        ASSERT_EQ(r, HttpHeadResult::kDone);
        EXPECT_EQ(answer.substr(offset + at, 1), "A");
        EXPECT_EQ(h.content_length, 10240);
        EXPECT_EQ(h.status, 200);
    }
}

TEST(HttpHead, OversizedHeaderIsRefused) {
    HttpHead h;
    std::string line = "HTTP/1.1 200 OK\r\n";
    EXPECT_EQ(http_head_feed(&h, line.data(), line.size(), nullptr), HttpHeadResult::kMore);
    const std::string filler(1000, 'x');
    HttpHeadResult r = HttpHeadResult::kMore;
    for (int i = 0; i < 20 && r == HttpHeadResult::kMore; ++i) r = http_head_feed(&h, filler.data(), filler.size(), nullptr);
    EXPECT_EQ(r, HttpHeadResult::kTooLong);
    EXPECT_EQ(h.len, kHttpHeadMax);
}

// A listener whose queue is full drops further handshakes: the connect stays
// pending and the downloader gives up when its wait runs out.
TEST(HttpGet, ConnectThatNeverCompletesFailsAfterItsWait) {
    TestRoot root;
    root.mkdirs("/iot/conf");
    int lst = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t al = sizeof a;
    ASSERT_EQ(bind(lst, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    ASSERT_EQ(listen(lst, 0), 0);
    ASSERT_EQ(getsockname(lst, reinterpret_cast<sockaddr *>(&a), &al), 0);
    int filler = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(connect(filler, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    Download d = fetch(ntohs(a.sin_port));
    EXPECT_EQ(d.result, 0);
    EXPECT_NE(d.out.find("connect select h:0\n"), std::string::npos) << d.out;
    EXPECT_NE(d.out.find("connect 127.0.0.1 failed\n"), std::string::npos) << d.out;
    EXPECT_FALSE(root.exists(kSave));
    close(filler);
    close(lst);
}

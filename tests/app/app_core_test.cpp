// The library's core below the process level: arrivals and the claim book
// against an in-memory platform, where a test sees every read and sets the
// file system's clock.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "answer.h"
#include "arrivals.h"
#include "claims.h"
#include "fake_platform.h"
#include "work_directory.h"

namespace qga {
namespace {

using testing::FakeDirectory;
using testing::FakeWatch;
using namespace std::chrono_literals;

std::string request(const std::string& output, const std::string& variables = "&QUERY+STRING=x",
                    const std::string& body = "") {
    std::string text = "&OUTPUT+FILE=/w/" + output + variables + "&\r\n#@$ FORM VARIABLES $@#\r\n";
    if (!body.empty()) text += body + "\r\n";
    return text;
}

struct Rig {
    explicit Rig(bool changes_reported = true) : dir(state), watch(state, changes_reported) {}
    std::vector<Arrival> poll(Arrivals& arrivals, int rounds = 1) {
        std::vector<Arrival> ready;
        for (int i = 0; i < rounds; ++i) arrivals.poll(0ms, &ready, &reports);
        return ready;
    }
    FakeDirectory::State state;
    FakeDirectory dir;
    FakeWatch watch;
    std::vector<std::string> reports;
};

TEST(Arrivals, BadFilesAreJudgedOnceAndCostNothingAfterwards) {
    // A file that is not a request, one over the size limit and one whose
    // read runs out of memory: each reported once, never read again while it
    // stays as it is, and the valid request beside them still arrives.
    Rig rig;
    rig.state.put("qg_1.TMP", "garbage\r\n");
    rig.state.put("qg_2.TMP", request("cgi2.TMP", std::string(300, 'a')));
    rig.state.put("qg_3.TMP", request("cgi3.TMP"));
    rig.state.out_of_memory.insert("qg_3.TMP");
    rig.state.put("qg_4.TMP", request("cgi4.TMP"));
    Arrivals arrivals(rig.dir, rig.watch, "qg_", 10ms, 200);
    auto ready = rig.poll(arrivals);
    ASSERT_EQ(ready.size(), 1U);
    EXPECT_EQ(ready[0].name, "qg_4.TMP");
    EXPECT_EQ(rig.reports.size(), 3U);
    const int reads = rig.state.read_count("qg_1.TMP") + rig.state.read_count("qg_2.TMP") +
                      rig.state.read_count("qg_3.TMP");
    rig.watch.waits.clear();
    std::this_thread::sleep_for(20ms);  // past the listing interval: every name is listed again
    arrivals.poll(100ms, &ready, &rig.reports);
    arrivals.poll(100ms, &ready, &rig.reports);
    EXPECT_EQ(rig.state.read_count("qg_1.TMP") + rig.state.read_count("qg_2.TMP") + rig.state.read_count("qg_3.TMP"),
              reads);
    EXPECT_EQ(rig.reports.size(), 3U);
    // Only the round with the listing due starts at once; none spins.
    EXPECT_LE(std::count(rig.watch.waits.begin(), rig.watch.waits.end(), 0ms), 1);
}

TEST(Arrivals, AJudgedFileIsReadAgainWhenItChanges) {
    Rig rig;
    rig.state.put("qg_1.TMP", "&OUTPUT+FILE=/w/cgi1.TMP&A=1");  // a gateway's write, cut short
    Arrivals arrivals(rig.dir, rig.watch, "qg_", 10ms, 1 << 20);
    EXPECT_TRUE(rig.poll(arrivals).empty());
    rig.state.put("qg_1.TMP", request("cgi1.TMP"));
    EXPECT_EQ(rig.poll(arrivals).size(), 1U);
}

TEST(Arrivals, ListedRequestsNeedASecondReadOnlyWhenTheTextCannotProveItself) {
    struct Case {
        std::string text;
        bool at_once;
    };
    const std::vector<Case> cases = {
        {request("cgi1.TMP"), true},                                       // no body announced
        {request("cgi1.TMP", "&CONTENT+LENGTH=0"), true},                  // none
        {request("cgi1.TMP", "&CONTENT+LENGTH=7", "a=1&b=2"), true},       // the whole announced body
        {request("cgi1.TMP", "&CONTENT+LENGTH=9", "a=1&b=2"), false},      // shorter: CR LF read as LF
        {request("cgi1.TMP", "&CONTENT+LENGTH=7"), false},                 // the body may be on its way
    };
    for (const auto& c : cases) {
        Rig rig(false);  // no change reports: a network file system
        rig.state.put("qg_1.TMP", c.text);
        Arrivals arrivals(rig.dir, rig.watch, "qg_", 1000ms, 1 << 20);
        EXPECT_EQ(rig.poll(arrivals).size(), c.at_once ? 1U : 0U) << c.text;
        if (c.at_once) continue;
        std::this_thread::sleep_for(120ms);
        EXPECT_EQ(rig.poll(arrivals).size(), 1U) << c.text;  // two equal reads
    }
}

TEST(Arrivals, UnchangedListingsOpenNoFile) {
    // Where the listing tells size and times, hundreds of files left behind
    // cost no look of their own.
    Rig rig(false);
    rig.state.listing_keys = true;
    rig.state.excludes_writers = true;
    for (int i = 1; i <= 50; ++i) rig.state.put("qg_" + std::to_string(i) + ".TMP", "left behind\r\n", false);
    Arrivals arrivals(rig.dir, rig.watch, "qg_", 1ms, 1 << 20);
    rig.poll(arrivals);
    const int identifies = rig.state.identifies;
    std::this_thread::sleep_for(5ms);
    rig.poll(arrivals, 3);
    EXPECT_EQ(rig.state.identifies, identifies);
    EXPECT_EQ(rig.reports.size(), 50U);
}

TEST(Arrivals, ARequestBlockedByAClaimComesBackWhenTheClaimGoes) {
    Rig rig;
    rig.state.put("qg_1.TMP", request("cgi1.TMP"));
    rig.state.put("claims/qg_1.TMP.0000000000000001.clm", "other host 1 x\n", false);
    Arrivals arrivals(rig.dir, rig.watch, "qg_", 1ms, 1 << 20);
    auto ready = rig.poll(arrivals);
    ASSERT_EQ(ready.size(), 1U);
    arrivals.blocked(ready[0].name, ready[0].id, "claims/qg_1.TMP.0000000000000001.clm");
    std::this_thread::sleep_for(3ms);
    EXPECT_TRUE(rig.poll(arrivals).empty());
    rig.state.erase("claims/qg_1.TMP.0000000000000001.clm");
    std::this_thread::sleep_for(3ms);
    EXPECT_EQ(rig.poll(arrivals).size(), 1U);
}

struct BookRig {
    explicit BookRig(std::chrono::seconds expiry = 0s) : dir(state), book(dir, "this host 1 me\n", "me", expiry) {
        EXPECT_TRUE(book.start(&error));
    }
    std::shared_ptr<Claim> take(const std::string& name, ClaimBook::Take want = ClaimBook::Take::won) {
        platform::FileText file;
        EXPECT_EQ(dir.read(name, 1 << 20, &file, &error), platform::ReadStatus::ok) << name;
        std::shared_ptr<Claim> claim;
        std::string blocker;
        EXPECT_EQ(book.take(name, file.id, claim_stamp(file.text, file.modified_s), &claim, &blocker, &error), want)
            << name;
        return claim;
    }
    FakeDirectory::State state;
    FakeDirectory dir;
    ClaimBook book;
    std::string error;
};

TEST(ClaimBook, AnsweredRequestsAreNeverClaimedAgain) {
    // After a restart: the request and its answer's signal file are there,
    // the old owner's claim long gone.
    BookRig rig;
    rig.state.put("qg_1.TMP", request("cgi1.TMP"));
    rig.state.put("qg_1.ret", "");
    rig.take("qg_1.TMP", ClaimBook::Take::answered);
    EXPECT_EQ(rig.state.names_under("claims/").size(), 1U);  // the probe only
}

TEST(ClaimBook, AnOwnerWhoseClaimWasTakenOverWritesNothing) {
    struct Case {
        const char* what;
        bool taken_over;  // the claim made anew by another process
    };
    for (const Case c : {Case{"taken over", true}, Case{"collected, not taken", false}}) {
        BookRig rig;
        rig.state.put("qg_1.TMP", request("cgi1.TMP"));
        rig.state.put("cgi1.TMP", "", false);
        auto claim = rig.take("qg_1.TMP");
        Request req(rig.dir, rig.book, claim, *parse_request(request("cgi1.TMP")));
        ASSERT_EQ(req.write("first ", &rig.error), Request::Result::ok) << c.what;
        // This process stood still past the expiry; its claim was collected.
        rig.state.erase(claim->path);
        if (c.taken_over) rig.state.put(claim->path, "other host 2 them\n", false);
        const auto wrote = req.write("second", &rig.error);
        if (c.taken_over) {
            EXPECT_EQ(wrote, Request::Result::gone) << c.what;
            EXPECT_FALSE(rig.state.has("qg_1.ret")) << c.what;
            EXPECT_TRUE(rig.state.has(claim->path)) << c.what;  // the other's claim stays
        } else {
            EXPECT_EQ(wrote, Request::Result::ok) << c.what;
            EXPECT_EQ(req.finish(&rig.error), Request::Result::ok) << c.what;
            EXPECT_TRUE(rig.state.has("qg_1.ret")) << c.what;
        }
    }
}

TEST(ClaimBook, ATakeoverJustAfterALookStopsTheAnswerBeforeItCanHarm) {
    // Another host took the claim over a moment after this process last
    // looked at it (its view of the claim's time lagged): the look remembered
    // must not let this process empty the output file or make the signal.
    for (const bool before_finish : {false, true}) {
        SCOPED_TRACE(before_finish ? "taken over before the finish" : "taken over before the first write");
        BookRig rig(600s);
        rig.state.put("qg_1.TMP", request("cgi1.TMP"));
        rig.state.put("cgi1.TMP", "the other owner's answer", false);
        auto claim = rig.take("qg_1.TMP");
        Request req(rig.dir, rig.book, claim, *parse_request(request("cgi1.TMP")));
        auto take_over = [&] {
            rig.state.erase(claim->path);
            rig.state.put(claim->path, "other host 2 them\n", false);
        };
        if (before_finish) {
            ASSERT_EQ(req.write("mine", &rig.error), Request::Result::ok);
            take_over();
            EXPECT_EQ(req.finish(&rig.error), Request::Result::gone);
        } else {
            take_over();
            EXPECT_EQ(req.write("mine", &rig.error), Request::Result::gone);
            const std::lock_guard lock(rig.state.mutex);
            EXPECT_EQ(rig.state.files["cgi1.TMP"].text, "the other owner's answer");
        }
        EXPECT_FALSE(rig.state.has("qg_1.ret"));
    }
}

TEST(ClaimBook, ARequestMadeAnewThatLooksTheSameIsNotAnsweredWithTheOldText) {
    // A network file system shows a file made anew under the name with the
    // same node, size and whole-second times: only the text tells them apart.
    // Seen by a process that read the old request just before its owner's
    // answer was taken and the claim released, or whose gateway gave up.
    auto make_anew = [](BookRig& rig) {
        const std::lock_guard lock(rig.state.mutex);
        rig.state.files["qg_1.TMP"].text = request("cgi2.TMP");  // same length, same id
    };
    for (const bool at_take : {true, false}) {
        SCOPED_TRACE(at_take ? "made anew before the claim" : "made anew before the finish");
        BookRig rig;
        rig.state.put("qg_1.TMP", request("cgi1.TMP"));
        rig.state.put("cgi1.TMP", "", false);
        if (at_take) {
            platform::FileText old;
            ASSERT_EQ(rig.dir.read("qg_1.TMP", 1 << 20, &old, &rig.error), platform::ReadStatus::ok);
            make_anew(rig);
            std::shared_ptr<Claim> claim;
            std::string blocker;
            EXPECT_NE(rig.book.take("qg_1.TMP", old.id, claim_stamp(old.text, old.modified_s), &claim, &blocker,
                                    &rig.error),
                      ClaimBook::Take::won);
            EXPECT_EQ(rig.state.names_under("claims/").size(), 1U);  // the probe only
        } else {
            Request req(rig.dir, rig.book, rig.take("qg_1.TMP"), *parse_request(request("cgi1.TMP")));
            ASSERT_EQ(req.write("old answer", &rig.error), Request::Result::ok);
            make_anew(rig);
            EXPECT_EQ(req.finish(&rig.error), Request::Result::gone);
        }
        EXPECT_FALSE(rig.state.has("qg_1.ret"));
    }
}

TEST(ClaimBook, AFinishThatFindsASignalFileIsNoSuccess) {
    BookRig rig;
    rig.state.put("qg_1.TMP", request("cgi1.TMP"));
    rig.state.put("cgi1.TMP", "", false);
    Request req(rig.dir, rig.book, rig.take("qg_1.TMP"), *parse_request(request("cgi1.TMP")));
    rig.state.put("qg_1.ret", "", false);
    EXPECT_EQ(req.finish(&rig.error), Request::Result::gone);
}

TEST(ClaimBook, ClaimsAgeOnTheFileSystemsClockAlone) {
    // Another process's claim is removed once the file system's clock has
    // passed its last renewal by more than the expiry; the renewals of this
    // process keep its own claims, whatever its own clock says.
    FakeDirectory::State state;
    FakeDirectory dir(state);
    ClaimBook book(dir, "this host 1 me\n", "me", 60s);
    std::string error;
    ASSERT_TRUE(book.start(&error));
    state.put("qg_1.TMP", request("cgi1.TMP"));
    std::shared_ptr<Claim> mine;
    std::string blocker;
    platform::FileText file;
    ASSERT_EQ(dir.read("qg_1.TMP", 1 << 20, &file, &error), platform::ReadStatus::ok);
    ASSERT_EQ(book.take("qg_1.TMP", file.id, claim_stamp(file.text, file.modified_s), &mine, &blocker, &error),
              ClaimBook::Take::won);
    state.put("claims/qg_2.TMP.0000000000000002.clm", "other host 2 them\n", false);
    state.put("claims/them.live", "other host 2 them\n", false);
    state.clock_s += 60;  // exactly the expiry: kept
    book.renew();
    EXPECT_TRUE(state.has("claims/qg_2.TMP.0000000000000002.clm"));
    state.clock_s += 61;
    book.renew();  // this process's claim renewed; its collection is not due yet
    ClaimBook fresh(dir, "this host 1 me2\n", "me2", 60s);  // a book with its collection due now
    ASSERT_TRUE(fresh.start(&error));
    fresh.renew();
    EXPECT_FALSE(state.has("claims/qg_2.TMP.0000000000000002.clm"));
    EXPECT_FALSE(state.has("claims/them.live"));
    EXPECT_TRUE(state.has(mine->path));  // renewed at the file system's time just before
}

TEST(WorkDirectory, AFailedRoundStopsNoLaterAccept) {
    FakeDirectory::State state;
    state.list_throws = 1;  // the first listing runs out of memory
    std::string error;
    Options options;
    auto work = WorkDirectory::over(std::make_unique<FakeDirectory>(state), std::make_unique<FakeWatch>(state, true),
                                    "qg_", options, &error);
    ASSERT_TRUE(work);
    std::unique_ptr<Request> req;
    EXPECT_THROW(work->accept(0ms, &req, &error), std::bad_alloc);
    state.put("qg_1.TMP", request("cgi1.TMP"));
    EXPECT_EQ(work->accept(0ms, &req, &error), WorkDirectory::Accept::ok);
}

TEST(AppText, TheClaimStampIsTheSameOnEverySystem) {
    // Fixed here: an instance on another system sharing the directory must
    // derive this very name from the same file (seconds since 1970, UTC).
    EXPECT_EQ(claim_stamp("&OUTPUT+FILE=C:\\w\\cgi1A.TMP&\r\n#@$ FORM VARIABLES $@#\r\n", 1'700'000'000),
              0x47c4d5f12972fd29ULL);
}

}  // namespace
}  // namespace qga

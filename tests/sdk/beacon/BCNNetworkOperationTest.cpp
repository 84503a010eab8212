#include <gtest/gtest.h>

#include <atomic>
#include <cctype>

#include "platform/dispatch/Semaphore.h"
#include "sdk/beacon/BCNDeveloperToken.h"
#include "sdk/beacon/BCNNetworkOperation.h"
#include "tests/sdk/beacon/KitRequestFixture.h"

namespace {

// Records what it saw when its work ran, and finishes at once.
class QuickOperation final : public BCNNetworkOperation {
public:
    explicit QuickOperation(std::string key) : BCNNetworkOperation(std::move(key)) {}
    void main() override {
        executingInMain = isExecuting();
        finish();
        ran.signal();
    }
    std::atomic<bool> executingInMain{false};
    dispatch::Semaphore ran{0};
};

}  // namespace

TEST(BCNNetworkOperationTest, RequestsCarryTheCommonHeaders) {
    setenv("LC_ALL", "de_DE.UTF-8", 1);
    auto operation = BCNNetworkOperation::create<QuickOperation>(std::string("key-1"));
    ASSERT_TRUE(operation);
    EXPECT_EQ(operation->APIKey(), "key-1");
    net::URLRequest request = operation->mutableRequestWithDefaultHTTPHeaderFieldsAndTimeoutForURL("https://kit/x");
    EXPECT_EQ(request.url(), "https://kit/x");
    EXPECT_EQ(request.timeoutInterval(), 10);
    EXPECT_EQ(request.cachePolicy(), 1);
    const std::pair<const char*, std::string> expected[] = {
        {"User-Agent", "org.beacon.sdk.mac/1.6.3 (42)"},
        {"Accept-Charset", "utf-8"},
        {"Accept-Language", "de_DE"},
        {"Content-Language", "de_DE"},
        {"X-Blackbox-Developer-Token", BCNDeveloperToken},
        {"X-Blackbox-API-Client-Id", "org.beacon.sdk.mac"},
        {"X-Blackbox-API-Client-Display-Version", "1.6.3"},
        {"X-Blackbox-API-Client-Build-Version", "42"},
        {"X-Blackbox-API-Key", "key-1"},
    };
    EXPECT_EQ(request.allHTTPHeaderFields().size(), std::size(expected));
    for (const auto& [name, value] : expected) EXPECT_EQ(request.valueForHTTPHeaderField(name), value) << name;
    EXPECT_EQ(operation->mutableRequestWithDefaultHTTPHeadersForURL("https://kit/y", 2.5).timeoutInterval(), 2.5);
    unsetenv("LC_ALL");

    std::string token = BCNDeveloperToken;
    EXPECT_EQ(token.size(), 40u);
    for (char c : token) EXPECT_TRUE(std::isdigit(uint8_t(c)) || (c >= 'a' && c <= 'f')) << c;

    EXPECT_FALSE(BCNNetworkOperation::create<QuickOperation>(std::nullopt));
}

// start() marks the operation executing before its work can run, so work that
// finishes at once leaves it finished and no longer executing.
TEST(BCNNetworkOperationTest, AnOperationThatFinishesAtOnceEndsFinishedOnly) {
    auto operation = BCNNetworkOperation::create<QuickOperation>(std::string("key"));
    EXPECT_TRUE(operation->isConcurrent());
    EXPECT_FALSE(operation->isExecuting());
    operation->start();
    ASSERT_TRUE(operation->ran.wait(20));
    ASSERT_TRUE(operation->waitUntilFinished(20));
    EXPECT_TRUE(operation->executingInMain.load());
    EXPECT_TRUE(operation->isFinished());
    EXPECT_FALSE(operation->isExecuting());
    operation->start();  // a finished operation does not run again
    EXPECT_FALSE(operation->ran.wait(0.1));
}

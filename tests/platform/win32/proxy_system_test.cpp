// The user's proxy settings as WinHTTP reports them under Wine, and libcurl transfers
// that follow the choice.
#include <curl/curl.h>
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "environment.h"
#include "internet_settings.h"
#include "platform/proxy.h"
#include "recording_server.h"

namespace {

using platform_testing::kAutoDetect;
using platform_testing::kDirect;
using platform_testing::kManualProxy;
using platform_testing::kScript;

class CurlEnvironment : public testing::Environment {
 public:
  void SetUp() override { ASSERT_EQ(curl_global_init(CURL_GLOBAL_ALL), CURLE_OK); }
  void TearDown() override { curl_global_cleanup(); }
};

[[maybe_unused]] testing::Environment* const kCurl = testing::AddGlobalTestEnvironment(new CurlEnvironment);

// A configuration script that sends every host through `proxy`, apart from those of
// bypass.test.
std::string ScriptFor(const std::string& proxy) {
  return "function FindProxyForURL(url, host) {\n"
         "  if (shExpMatch(host, \"*.bypass.test\")) return \"DIRECT\";\n"
         "  return \"PROXY " +
         proxy + "; DIRECT\";\n}\n";
}

size_t Collect(char* data, size_t size, size_t count, void* body) noexcept {
  try {
    static_cast<std::string*>(body)->append(data, size * count);
    return size * count;
  } catch (...) {
    return 0;
  }
}

// A GET of `url` as the downloader makes it: CURLOPT_PROXY only when the system decided.
bool Fetch(const std::string& url, const platform::ProxyChoice& choice, std::string& body) {
  CURL* curl = curl_easy_init();
  if (!curl) return false;
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  if (choice.decided) curl_easy_setopt(curl, CURLOPT_PROXY, choice.proxy.c_str());
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &Collect);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
  const CURLcode result = curl_easy_perform(curl);
  long status = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  curl_easy_cleanup(curl);
  return result == CURLE_OK && status == 200;
}

class SystemProxyTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(settings_.ready()); }

  platform_testing::ClearedProxyEnvironment environment_;
  platform_testing::ScratchInternetSettings settings_;
};

struct ManualCase {
  const char* servers;
  const char* bypass;
  const char* url;
  const char* proxy;
};

void PrintTo(const ManualCase& c, std::ostream* os) { *os << '[' << c.servers << "] [" << c.bypass << "] " << c.url; }

class ManualProxyTest : public SystemProxyTest, public testing::WithParamInterface<ManualCase> {};

TEST_P(ManualProxyTest, FollowsTheServerListAndTheBypassList) {
  ASSERT_TRUE(settings_.Write({kDirect | kManualProxy, GetParam().servers, GetParam().bypass, ""}));
  const platform::ProxyChoice choice = platform::SystemProxyFor(GetParam().url);
  EXPECT_TRUE(choice.decided);
  EXPECT_EQ(choice.proxy, GetParam().proxy);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ManualProxyTest,
    testing::Values(
        ManualCase{"127.0.0.1:3128", "", "http://launcher.test/file", "127.0.0.1:3128"},
        ManualCase{"127.0.0.1:3128", "", "https://launcher.test/file", "127.0.0.1:3128"},
        ManualCase{"http=127.0.0.1:3128;https=127.0.0.1:3129", "", "http://launcher.test/", "127.0.0.1:3128"},
        ManualCase{"http=127.0.0.1:3128;https=127.0.0.1:3129", "", "https://launcher.test/", "127.0.0.1:3129"},
        ManualCase{"http=127.0.0.1:3128", "", "https://launcher.test/", ""},
        ManualCase{"127.0.0.1:3128", "<local>;*.bypass.test", "http://files.bypass.test/file", ""},
        ManualCase{"127.0.0.1:3128", "<local>;*.bypass.test", "http://intranet/file", ""},
        ManualCase{"127.0.0.1:3128", "<local>;*.bypass.test", "http://launcher.test/file", "127.0.0.1:3128"},
        // Loopback goes direct whatever the settings say.
        ManualCase{"127.0.0.1:3128", "", "http://127.0.0.1:8080/file", ""},
        ManualCase{"127.0.0.1:3128", "", "http://127.0.0.2/file", ""},
        ManualCase{"127.0.0.1:3128", "", "http://LocalHost:8080/file", ""},
        ManualCase{"127.0.0.1:3128", "", "http://[::1]:8080/file", ""}));

TEST_F(SystemProxyTest, WithoutAManualServerTheConnectionIsDirect) {
  ASSERT_TRUE(settings_.Write({kDirect, "", "", ""}));
  const platform::ProxyChoice choice = platform::SystemProxyFor("http://launcher.test/file");
  EXPECT_TRUE(choice.decided);
  EXPECT_EQ(choice.proxy, "");
}

// Wine finds no script by detection (no DHCP option, no DNS domain), as a network
// without one does: the manual server applies, or none.
TEST_F(SystemProxyTest, WhenDetectionFindsNoScriptTheManualServerApplies) {
  ASSERT_TRUE(settings_.Write({kDirect | kManualProxy | kAutoDetect, "127.0.0.1:3128", "", ""}));
  const platform::ProxyChoice choice = platform::SystemProxyFor("http://launcher.test/file");
  EXPECT_TRUE(choice.decided);
  EXPECT_EQ(choice.proxy, "127.0.0.1:3128");
}

// Without stored settings WinHTTP reports detection on, as Windows comes out of the box.
TEST_F(SystemProxyTest, UntouchedSettingsDetectAndThenGoDirect) {
  const platform::ProxyChoice choice = platform::SystemProxyFor("http://launcher.test/file");
  EXPECT_TRUE(choice.decided);
  EXPECT_EQ(choice.proxy, "");
}

// With detection on as well, as the Internet options come: detection finds nothing,
// then the script answers.
TEST_F(SystemProxyTest, TheConfigurationScriptDecidesPerHost) {
  platform_testing::RecordingServer server;
  ASSERT_TRUE(server.ready());
  server.SetProxyScript(ScriptFor("127.0.0.1:3128"));
  ASSERT_TRUE(settings_.Write({kDirect | kAutoDetect | kScript, "", "", "http://" + server.Address() + "/proxy.pac"}));
  const platform::ProxyChoice proxied = platform::SystemProxyFor("http://launcher.test/file");
  EXPECT_TRUE(proxied.decided);
  EXPECT_EQ(proxied.proxy, "127.0.0.1:3128");
  const platform::ProxyChoice direct = platform::SystemProxyFor("https://files.bypass.test/file");
  EXPECT_TRUE(direct.decided);
  EXPECT_EQ(direct.proxy, "");
}

TEST_F(SystemProxyTest, WhenTheScriptIsMissingTheManualServerApplies) {
  platform_testing::RecordingServer server;
  ASSERT_TRUE(server.ready());
  ASSERT_TRUE(settings_.Write(
      {kDirect | kManualProxy | kScript, "127.0.0.1:3128", "", "http://" + server.Address() + "/missing.pac"}));
  const platform::ProxyChoice choice = platform::SystemProxyFor("http://launcher.test/file");
  EXPECT_TRUE(choice.decided);
  EXPECT_EQ(choice.proxy, "127.0.0.1:3128");
  EXPECT_EQ(server.RequestLines(), std::vector<std::string>{"GET /missing.pac HTTP/1.1"});
}

class EnvironmentProxyTest : public SystemProxyTest, public testing::WithParamInterface<const char*> {};

TEST_P(EnvironmentProxyTest, LeavesTheChoiceToLibcurlButKeepsLoopbackDirect) {
  ASSERT_TRUE(settings_.Write({kDirect | kManualProxy, "127.0.0.1:3128", "", ""}));
  testing_support::SetEnvironment(GetParam(), "http://127.0.0.1:3129");
  EXPECT_FALSE(platform::SystemProxyFor("http://launcher.test/file").decided);
  EXPECT_FALSE(platform::SystemProxyFor("https://launcher.test/file").decided);
  const platform::ProxyChoice loopback = platform::SystemProxyFor("http://127.0.0.1:8080/file");
  EXPECT_TRUE(loopback.decided);
  EXPECT_EQ(loopback.proxy, "");
}

INSTANTIATE_TEST_SUITE_P(Variables, EnvironmentProxyTest,
                         testing::Values("http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"));

enum class Configuration { Manual, Script };

void PrintTo(Configuration c, std::ostream* os) { *os << (c == Configuration::Manual ? "Manual" : "Script"); }

class ProxiedTransferTest : public SystemProxyTest, public testing::WithParamInterface<Configuration> {
 protected:
  void SetUp() override {
    SystemProxyTest::SetUp();
    ASSERT_TRUE(proxy_.ready());
    proxy_.SetProxyScript(ScriptFor(proxy_.Address()));
    ASSERT_TRUE(GetParam() == Configuration::Manual
                    ? settings_.Write({kDirect | kManualProxy, proxy_.Address(), "", ""})
                    : settings_.Write({kDirect | kScript, "", "", "http://" + proxy_.Address() + "/proxy.pac"}));
  }

  // Named by hand or by the script, and the server of the script too.
  platform_testing::RecordingServer proxy_;
};

TEST_P(ProxiedTransferTest, LibcurlReachesTheChosenProxy) {
  const std::string url = "http://launcher.test:8080/file";
  const platform::ProxyChoice choice = platform::SystemProxyFor(url);
  ASSERT_TRUE(choice.decided);
  EXPECT_EQ(choice.proxy, proxy_.Address());
  std::string body;
  ASSERT_TRUE(Fetch(url, choice, body));
  EXPECT_EQ(body, platform_testing::RecordingServer::BodyFor(url));
  ASSERT_FALSE(proxy_.RequestLines().empty());
  EXPECT_EQ(proxy_.RequestLines().back(), "GET " + url + " HTTP/1.1");
}

TEST_P(ProxiedTransferTest, LoopbackTransfersGoDirect) {
  platform_testing::RecordingServer origin;
  ASSERT_TRUE(origin.ready());
  const std::string url = "http://" + origin.Address() + "/file";
  const platform::ProxyChoice choice = platform::SystemProxyFor(url);
  ASSERT_TRUE(choice.decided);
  std::string body;
  ASSERT_TRUE(Fetch(url, choice, body));
  EXPECT_EQ(body, platform_testing::RecordingServer::BodyFor("/file"));
  EXPECT_EQ(origin.RequestLines(), std::vector<std::string>{"GET /file HTTP/1.1"});
  EXPECT_TRUE(proxy_.RequestLines().empty());
}

INSTANTIATE_TEST_SUITE_P(Configurations, ProxiedTransferTest,
                         testing::Values(Configuration::Manual, Configuration::Script));

}  // namespace

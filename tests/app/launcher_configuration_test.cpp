#include "app/launcher_configuration.h"

#include <gtest/gtest.h>

#include "app/config_helpers.h"
#include "app/text.h"
#include "environment.h"
#include "platform/appdata.h"
#include "platform/fault.h"
#include "platform/path.h"
#include "store/json_file.h"
#include "temp_folder.h"

namespace {

namespace fs = std::filesystem;
using testing_support::TempFolder;
using testing_support::WriteFile;

std::string Sep() { return platform::PathSeparator(); }

std::string Join(std::initializer_list<std::string> parts) {
  std::string path;
  for (const std::string& part : parts) {
    if (&part != parts.begin()) path.append(Sep());
    path.append(part);
  }
  return path;
}

// Keeps the process's current directory, which loading the configuration changes.
class ConfigurationTest : public testing::Test {
 protected:
  void SetUp() override {
    saved_ = platform::GetCurrentDir();
    // Where the platform honours it, keep application data inside the test's folder.
    testing_support::SetEnvironment("XDG_DATA_HOME", temp.Narrow("appdata"));
    fs::create_directories(temp.path() / "appdata");
    WriteFile(temp.path() / "Setting.json",
              "{ // comments are fine\n"
              "  \"BaseDir\": \"client\", \"ExeName\": \"game.exe\", \"GameDir\": \"MyGame\",\n"
              "  \"Title\": \"Caf\xC3\xA9 Launcher\", \"FixedWidth\": 800, \"FixedHeight\": 500 }");
    WriteFile(temp.path() / "Version.json", "{\"Version\": \"1.2\"}");
  }
  void TearDown() override {
    platform::fault::Clear();
    platform::SetCurrentDir(saved_);
    testing_support::SetEnvironment("XDG_DATA_HOME", "");
  }
  std::string Executable() const { return temp.Narrow("launcher.exe"); }

  TempFolder temp;
  std::string saved_;
};

TEST(ExecutableFolder, CutsAfterTheLastSeparator) {
  const std::string folder = Join({"root", "games", ""});
  EXPECT_EQ(ExecutableFolderOf(folder + "launcher.exe"), folder);
  EXPECT_EQ(ExecutableFolderOf("launcher.exe"), "");
}

TEST(WindowRectangle, CentresTheClientAreaOnTheScreen) {
  const platform::Rect rect = MainWindowRect(800, 500, 1920, 1080);
  platform::Rect frame{0, 0, 800, 500};
  platform::AdjustWindowRectForStyle(&frame, kMainWindowStyle);
  // The client area's corner is the window's corner moved in by the frame.
  EXPECT_EQ(rect.left - frame.left, 560);
  EXPECT_EQ(rect.top - frame.top, 290);
  EXPECT_EQ(rect.right - rect.left, frame.right - frame.left);
  EXPECT_EQ(rect.bottom - rect.top, frame.bottom - frame.top);
}

TEST(WindowRectangle, HalvesRoundTowardZero) {
  const platform::Rect rect = MainWindowRect(801, 501, 1921, 1081);
  platform::Rect frame{0, 0, 801, 501};
  platform::AdjustWindowRectForStyle(&frame, kMainWindowStyle);
  EXPECT_EQ(rect.left - frame.left, 960 - 400);
  EXPECT_EQ(rect.top - frame.top, 540 - 250);
}

struct BaseDirCase {
  const char* baseDir;
  bool safe;
};
void PrintTo(const BaseDirCase& c, std::ostream* os) { *os << '"' << c.baseDir << '"'; }

class BaseDirNames : public ::testing::TestWithParam<BaseDirCase> {};

TEST_P(BaseDirNames, OnlyFoldersStrictlyBelowTheGameRootAreSafe) {
  EXPECT_EQ(IsSafeBaseDir(GetParam().baseDir), GetParam().safe);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, BaseDirNames,
    ::testing::Values(BaseDirCase{"client", true}, BaseDirCase{"game/client", true}, BaseDirCase{"game\\client", true},
                      BaseDirCase{"client/", true}, BaseDirCase{"..client", true}, BaseDirCase{"client.", true},
                      BaseDirCase{"", false}, BaseDirCase{".", false}, BaseDirCase{"..", false},
                      BaseDirCase{"./", false}, BaseDirCase{"client/..", false}, BaseDirCase{"a\\..\\b", false},
                      BaseDirCase{"a/./b", false}, BaseDirCase{"/client", false}, BaseDirCase{"\\client", false},
                      BaseDirCase{"\\\\server\\share", false}, BaseDirCase{"C:\\client", false},
                      BaseDirCase{"C:client", false}, BaseDirCase{"client:stream", false},
                      BaseDirCase{"...", false}, BaseDirCase{".. ", false}, BaseDirCase{". ", false},
                      BaseDirCase{"game/. ./client", false}, BaseDirCase{"a\\...\\b", false}));

TEST_F(ConfigurationTest, WritableFolderKeepsTheGameBesideTheLauncher) {
  LauncherConfiguration c;
  LoadConfiguration(Executable(), 1920, 1080, &c);
  EXPECT_EQ(c.executableFolder, temp.Narrow() + Sep());
  EXPECT_TRUE(fs::equivalent(platform::GetCurrentDir(), temp.path()));
  EXPECT_EQ(c.gameRoot, ".");
  EXPECT_EQ(c.gameExecutablePath, Join({".", "client", "game.exe"}));
  EXPECT_EQ(c.localVersionFilePath, Join({".", "Version.json"}));
  EXPECT_EQ(ReadJsonText(c.localVersion, "Version"), "1.2");
  EXPECT_EQ(c.title, L"Caf\u00E9 Launcher");
  EXPECT_GE(c.windowRect.right - c.windowRect.left, 800);
  EXPECT_FALSE(fs::exists(temp.path() / "Check.dat"));
}

TEST_F(ConfigurationTest, UnwritableFolderMovesTheGameToApplicationData) {
  platform::fault::Inject(platform::fault::Op::Create, "Check.dat");
  LauncherConfiguration c;
  LoadConfiguration(Executable(), 1920, 1080, &c);
  const std::string expected = Join({WideToAnsi(platform::GetAppDataFolder()), "MyGame"});
  EXPECT_EQ(c.gameRoot, expected);
  EXPECT_TRUE(fs::is_directory(fs::u8path(expected)));
  EXPECT_EQ(c.gameExecutablePath, Join({expected, "client", "game.exe"}));
  EXPECT_EQ(c.localVersionFilePath, Join({expected, "Version.json"}));
  EXPECT_EQ(ReadJsonText(c.localVersion, "Version"), "");
  EXPECT_FALSE(fs::exists(temp.path() / "Check.dat"));
  fs::remove(fs::u8path(expected));
}

TEST_F(ConfigurationTest, AnInstalledClientOnAFullVolumeStaysWhereItIs) {
  // A full volume fails the probe too; a second copy elsewhere would go unnoticed.
  platform::fault::Inject(platform::fault::Op::Write, "Check.dat");
  platform::fault::LimitFreeSpace(4096);
  LauncherConfiguration c;
  LoadConfiguration(Executable(), 1920, 1080, &c);
  EXPECT_EQ(c.gameRoot, ".");
  EXPECT_EQ(ReadJsonText(c.localVersion, "Version"), "1.2");

  // Without an installed client there is nothing to keep: the probe decides as before.
  fs::remove(temp.path() / "Version.json");
  LoadConfiguration(Executable(), 1920, 1080, &c);
  const std::string expected = Join({WideToAnsi(platform::GetAppDataFolder()), "MyGame"});
  EXPECT_EQ(c.gameRoot, expected);
  fs::remove(fs::u8path(expected));
}

TEST_F(ConfigurationTest, MissingSettingsGiveEmptyValues) {
  fs::remove(temp.path() / "Setting.json");
  fs::remove(temp.path() / "Version.json");
  LauncherConfiguration c;
  LoadConfiguration(Executable(), 1920, 1080, &c);
  EXPECT_EQ(c.gameRoot, ".");
  EXPECT_EQ(c.gameExecutablePath, Join({".", "", ""}));
  EXPECT_EQ(c.title, L"");
  EXPECT_TRUE(c.localVersion.isNull());
}

// A new account on Linux may have no ~/.local/share yet; Windows always has the folder.
TEST_F(ConfigurationTest, AMissingApplicationDataFolderIsMadeForTheGameRoot) {
  testing_support::SetEnvironment("XDG_DATA_HOME", temp.Narrow("fresh/home/.local/share"));
  const std::string root = AppDataGameRoot("MyGame");
  EXPECT_TRUE(fs::is_directory(fs::u8path(root))) << root;
  fs::remove(fs::u8path(root));
}

TEST_F(ConfigurationTest, AppDataGameRootCreatesOneLevelOnly) {
  const std::string name = "launcher-test-" + std::to_string(fs::file_time_type::clock::now().time_since_epoch().count());
  const std::string root = AppDataGameRoot(name);
  EXPECT_EQ(root, Join({WideToAnsi(platform::GetAppDataFolder()), name}));
  EXPECT_TRUE(fs::is_directory(fs::u8path(root)));
  EXPECT_EQ(AppDataGameRoot(name), root) << "an existing folder is found again";

  const std::string nested = AppDataGameRoot(Join({name + "-missing", "inner"}));
  EXPECT_FALSE(fs::exists(fs::u8path(nested)));
  fs::remove(fs::u8path(root));
}

}  // namespace

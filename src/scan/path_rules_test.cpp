#include "scan/path_rules.h"

#include <gtest/gtest.h>

#include "test_support.h"

namespace quendal {
namespace {

using test::native;

TEST(NormalizeRelativePath, CutsAtBothSeparatorsDropsBlankSegmentsAndLowersAscii) {
  const std::pair<const char*, const char*> cases[] = {
      {"Tools\\Quendal.EXE", "tools/quendal.exe"},
      {"/tools//quendal.exe/", "tools/quendal.exe"},
      {"\\\\Data\\/Sky.PAK\\", "data/sky.pak"},
      {"data/ /x.pak", "data/x.pak"},
      {"data/\u3000\t/x.pak", "data/x.pak"},
      {"data/ x.pak", "data/ x.pak"},
      {" Data /X ", " data /x "},
      {"ÄÖ/Ü.PAK", "ÄÖ/Ü.pak"},
      {"../C:/x", "../c:/x"},
      {"./a/../b", "./a/../b"},
      {"//\\ /", ""},
      {"", ""},
  };
  for (const auto& [path, normal] : cases) {
    EXPECT_EQ(normalize_relative_path(path), normal) << path;
    EXPECT_EQ(normalize_relative_path(normal), normal) << normal;
  }
}

TEST(NormalizeRootPath, TrimsTurnsBackslashesAndDropsTrailingSeparators) {
  const std::pair<const char*, const char*> cases[] = {
      {"  C:\\Games\\Client\\\\ ", "c:/games/client"},
      {"\\\\?\\C:\\Games\\Client", "//?/c:/games/client"},
      {"/opt/Client///", "/opt/client"},
      {"//server\\share//x", "//server/share//x"},
      {"./a/", "./a"},
      {"\u3000/srv/x/\u2003", "/srv/x"},
      {" system.cfg ", "system.cfg"},
      {"/", ""},
      {"\\/\\", ""},
      {"", ""},
  };
  for (const auto& [path, form] : cases) EXPECT_EQ(normalize_root_path(path), form) << path;
}

// `path` must outlive the entry.
UpdateManifestFile file(std::string_view path) {
  return UpdateManifestFile{path, 1, "digest", "blob", UpdateManifestFilePolicy::required};
}

TEST(BuildExclusionSet, HoldsTheImplicitNamesAndTheNormalFormsInOrder) {
  UpdateManifestDocument manifest;
  const PathSet implicit = build_exclusion_set(manifest);
  EXPECT_EQ(
      std::vector<std::string>(implicit.begin(), implicit.end()),
      (std::vector<std::string>{"log.txt", "quendal.exe", "tools/quendal.exe", "velor-tirn.exe"}));
  manifest.excluded_paths = {
      "Z.dat",           "A.dat",   "a.dat",         "/a.dat", "TOOLS\\Extra.dll",
      "tools/extra.dll", "Log.TXT", "Data\\Movies\\"};
  const PathSet set = build_exclusion_set(manifest);
  EXPECT_EQ(
      std::vector<std::string>(set.begin(), set.end()),
      (std::vector<std::string>{"a.dat", "data/movies", "log.txt", "quendal.exe", "tools/extra.dll",
                                "tools/quendal.exe", "velor-tirn.exe", "z.dat"}));
}

TEST(IsScanned, ExcludesTheSetMembersAndTheUpdaterDirectoryOnly) {
  UpdateManifestDocument manifest;
  manifest.excluded_paths = {"Data\\Movies\\"};
  const PathSet exclusions = build_exclusion_set(manifest);
  for (const char* excluded :
       {"Tools\\Quendal.EXE", "/tools//quendal.exe/", "QUENDAL.exe", "velor-tirn.exe", "log.txt",
        "\\LOG.txt", ".VELOR-UPDATER\\state.json", ".velor-updater", ".velor-updater/",
        "/.velor-updater//a/b", "data/movies", "DATA/MOVIES/"}) {
    EXPECT_FALSE(is_scanned(file(excluded), exclusions)) << excluded;
  }
  for (const char* scanned :
       {"bin/quendal.exe", "quendal.exe.bak", "tools/quendal.exe/x", " log.txt", "logs/log.txt",
        ".velor-updater-old/readme.txt", ".velor-updaterx", "data/.velor-updater/x",
        "data/movies/intro.bik", "data/movie", "velor-tirn.exe.old"}) {
    EXPECT_TRUE(is_scanned(file(scanned), exclusions)) << scanned;
  }
}

TEST(BuildScanList, KeepsManifestOrderAndDropsExcludedEntries) {
  const std::vector<UpdateManifestFile> files = {file("b.pak"), file("quendal.exe"), file("a.pak"),
                                                 file(".velor-updater/x"), file("b.pak")};
  const ScanList list = build_scan_list(files, build_exclusion_set(UpdateManifestDocument{}));
  EXPECT_EQ(list, (ScanList{&files[0], &files[2], &files[4]}));
  EXPECT_TRUE(build_scan_list({}, PathSet{}).empty());
}

TEST(BuildRepairIfMissingSet, AddsListedPathsAndListedProtectedRootFiles) {
  UpdateManifestDocument manifest;
  manifest.repair_if_missing_paths = {"Config\\User.ini", "config/user.ini", "/Saves//slot1/"};
  for (const char* path :
       {"System.CFG", " system.cfg ", "system.cfg/", "PUB.KEY", "log.txt", "chat.log",
        "ClientInfo1223465.ini", "SystemOptionGraphics.cfg",
        // Not protected: not at the root by their root comparison form, or another name.
        "config/system.cfg", "/system.cfg", "\\system.cfg", "./system.cfg", "pub.key.old",
        "chat.log.1", "data/pub.key"}) {
    manifest.files.push_back(file(path));
  }
  const PathSet set = build_repair_if_missing_set(manifest);
  // " system.cfg " is protected by its trimmed form but recorded by its normal form.
  EXPECT_EQ(std::vector<std::string>(set.begin(), set.end()),
            (std::vector<std::string>{" system.cfg ", "chat.log", "clientinfo1223465.ini",
                                      "config/user.ini", "log.txt", "pub.key", "saves/slot1",
                                      "system.cfg", "systemoptiongraphics.cfg"}));
}

TEST(ResolveClientFile, AppendsTheNonBlankSegmentsAsWritten) {
  struct Case {
    const char* root;
    const char* path;
    const char* disk;
  };
  const Case cases[] = {
      {"/root", "data/ /x.pak", "/root/data/x.pak"},
      {"/root", "Data\\Sky.PAK", "/root/Data/Sky.PAK"},
      {"/root", "data/ x.pak", "/root/data/ x.pak"},
      {"/root", "//a//b/", "/root/a/b"},
      {"/root", "../C:/x", "/root/../C:/x"},
      {"/root/", "a", "/root/a"},
      {"rel", "a\\b", "rel/a/b"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(resolve_client_file(native(c.root), c.path), native(c.disk)) << c.path;
  }
}

}  // namespace
}  // namespace quendal

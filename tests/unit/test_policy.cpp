// The administrator's policy as the program reads it: from the registry's
// 64-bit view on Windows, from the policy file on POSIX; values of the
// wrong type or out of range count as absent and are named.
#include <gtest/gtest.h>

#include <cstdlib>

#ifdef _WIN32
#include <windows.h>
#endif

#include "testutil.h"
#include "version/policy.h"

namespace {

#ifdef _WIN32
const wchar_t kKey[] = L"Software\\Policies\\PelMatic\\policytest";

struct PolicyFor {
  PolicyFor() { ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kKey, KEY_WOW64_64KEY, 0); }
  ~PolicyFor() { ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kKey, KEY_WOW64_64KEY, 0); }
  void Number(const wchar_t* name, DWORD value) { Set(name, REG_DWORD, &value, sizeof value); }
  void Text(const wchar_t* name, const wchar_t* value) {
    Set(name, REG_SZ, value, static_cast<DWORD>((wcslen(value) + 1) * sizeof(wchar_t)));
  }
  void Set(const wchar_t* name, DWORD type, const void* data, DWORD size) {
    HKEY h = nullptr;
    ASSERT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0,
                                KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &h, nullptr),
              ERROR_SUCCESS);
    ::RegSetValueExW(h, name, 0, type, static_cast<const BYTE*>(data), size);
    ::RegCloseKey(h);
  }
};
#else
struct PolicyFor {
  testutil::TempDir dir;
  std::string text = "[policytest]\n";
  PolicyFor() { ::setenv("PELMATIC_POLICY_FILE", (dir / "policy.ini").c_str(), 1); }
  ~PolicyFor() { ::unsetenv("PELMATIC_POLICY_FILE"); }
  void Number(const char* name, unsigned value) { Line(name, std::to_string(value)); }
  void Text(const char* name, const char* value) { Line(name, value); }
  void Line(const char* name, const std::string& value) {
    text += std::string(name) + "=" + value + "\n";
    testutil::WriteFile(dir / "policy.ini", text);
  }
};
#endif

}  // namespace

// The registry takes its names in UTF-16, the file in bytes.
#ifdef _WIN32
#define T(text) L##text
#else
#define T(text) text
#endif

TEST(Policy, ValuesAsTheAdministratorSetThemAndWrongOnesNamed) {
  {
    PolicyFor none;
    const Policy p = ReadPolicy("policytest");
    EXPECT_FALSE(p.any);
    EXPECT_EQ(p.updates, Policy::kAsConfigured);
    EXPECT_EQ(DescribePolicy(p), "none");
  }
  {
    PolicyFor set;
    set.Number(T("Updates"), 2);
    set.Text(T("TargetVersionPrefix"), T("2.3"));
    set.Number(T("CheckHours"), 0);
    const Policy p = ReadPolicy("policytest");
    EXPECT_EQ(p.updates, Policy::kManualOnly);
    EXPECT_EQ(p.targetVersionPrefix, "2.3");
    EXPECT_TRUE(p.hasCheckHours && p.checkHours == 0);
    EXPECT_EQ(p.ignored, "");
    EXPECT_TRUE(PolicyTakes(p, "2.31") && PolicyTakes(p, "2.3"));
    EXPECT_FALSE(PolicyTakes(p, "2.40") || PolicyTakes(p, "2."));
  }
  {
    PolicyFor wrong;
    wrong.Number(T("Updates"), 3);
    wrong.Number(T("CheckHours"), 8761);
#ifdef _WIN32
    wrong.Number(T("TargetVersionPrefix"), 2);  // a DWORD where a string belongs
#endif
    const Policy p = ReadPolicy("policytest");
    EXPECT_EQ(p.updates, Policy::kAsConfigured);
    EXPECT_FALSE(p.hasCheckHours);
    EXPECT_NE(p.ignored.find("Updates is not a DWORD of 0, 1 or 2"), std::string::npos);
    EXPECT_NE(p.ignored.find("CheckHours is not a DWORD from 0 to 8760"), std::string::npos);
#ifdef _WIN32
    EXPECT_NE(p.ignored.find("TargetVersionPrefix is not a string"), std::string::npos);
#endif
  }
}

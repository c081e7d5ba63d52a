#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "TestFiles.h"
#include "VornLibSystem.h"

#ifndef _WIN32
#include <sys/utsname.h>
#endif

using testing_files::U16;

namespace {

struct VersionRow {
  const char* label;
  uint8_t platform;
  uint32_t major;
  uint32_t minor;
  uint32_t build;
  uint16_t servicePack;
  uint8_t productType;
  bool wow64;
  bool serverR2;
  uint16_t code;
  std::u16string name;
};

constexpr uint8_t W9x = OsPlatformWindows9x;
constexpr uint8_t NT = OsPlatformNT;
constexpr uint8_t Workstation = OsProductWorkstation;
constexpr uint8_t Controller = OsProductDomainController;
constexpr uint8_t Server = OsProductServer;

const VersionRow VersionRows[] = {
    // label, platform, major.minor.build, SP, product, WOW64, R2 -> code, name
    {"Windows 95", W9x, 4, 0, 950, 0, 0, false, false, 0x0100, u"Unsupported"},
    {"9x platform with 6.1 numbers", W9x, 6, 1, 7601, 0, 1, false, false, 0x0100, u"Unsupported"},
    {"NT 3.51", NT, 3, 51, 1057, 5, Workstation, false, false, 0x0100, u"Unsupported"},
    {"NT 4 SP6", NT, 4, 0, 1381, 6, Workstation, false, false, 0x0100, u"Unsupported"},
    {"NT 4 server", NT, 4, 0, 1381, 6, Server, false, false, 0x0100, u"Unsupported"},
    {"NT major 1", NT, 1, 0, 0, 0, Workstation, false, false, 0x0100, u"Unsupported"},
    {"2000 SP0", NT, 5, 0, 2195, 0, Workstation, false, false, 0x0600, u"2000"},
    {"2000 SP4", NT, 5, 0, 2195, 4, Workstation, false, false, 0x0604, u"2000"},
    {"2000 SP5", NT, 5, 0, 2195, 5, Workstation, false, false, 0x06FF, u"2000"},
    {"2000 server SP4", NT, 5, 0, 2195, 4, Server, false, false, 0x0604, u"2000"},
    {"XP SP0", NT, 5, 1, 2600, 0, Workstation, false, false, 0x0700, u"XP"},
    {"XP SP3", NT, 5, 1, 2600, 3, Workstation, false, false, 0x0703, u"XP"},
    {"XP SP4", NT, 5, 1, 2600, 4, Workstation, false, false, 0x07FF, u"XP"},
    {"Server 2003 SP0", NT, 5, 2, 3790, 0, Server, false, false, 0x0800, u"Server 2003"},
    {"Server 2003 SP2", NT, 5, 2, 3790, 2, Server, false, false, 0x0802, u"Server 2003"},
    {"Server 2003 SP3", NT, 5, 2, 3790, 3, Server, false, false, 0x08FF, u"Server 2003"},
    {"Server 2003 R2 SP2", NT, 5, 2, 3790, 2, Server, false, true, 0x0802, u"Server 2003 R2"},
    {"Server 2003 R2 SP3", NT, 5, 2, 3790, 3, Server, false, true, 0x08FF, u"Server 2003 R2"},
    {"Server 2003 domain controller", NT, 5, 2, 3790, 1, Controller, false, false, 0x0801,
     u"Server 2003"},
    {"Server 2003 under WOW64", NT, 5, 2, 3790, 2, Server, true, false, 0x0802, u"Server 2003"},
    {"XP x64 under WOW64 SP0", NT, 5, 2, 3790, 0, Workstation, true, false, 0x0700, u"XP"},
    {"XP x64 under WOW64 SP2", NT, 5, 2, 3790, 2, Workstation, true, false, 0x0702, u"XP"},
    {"XP x64 under WOW64 SP3", NT, 5, 2, 3790, 3, Workstation, true, false, 0x07FF, u"XP"},
    {"XP x64 without WOW64", NT, 5, 2, 3790, 2, Workstation, false, false, 0x0000, u"5.2.3790"},
    {"XP x64 without WOW64, R2 metric", NT, 5, 2, 3790, 2, Workstation, false, true, 0x0000,
     u"5.2.3790"},
    {"5.2 with product type 0", NT, 5, 2, 3790, 0, 0, false, false, 0x0000, u"5.2.3790"},
    {"5.3", NT, 5, 3, 4000, 0, Workstation, false, false, 0x0000, u"5.3.4000"},
    {"NT major 0", NT, 0, 9, 12, 0, Workstation, false, false, 0x0000, u"0.9.12"},
    {"Win32s", OsPlatformWin32s, 3, 10, 0, 0, 0, false, false, 0x0000, u"3.10.0"},
    {"Vista SP0", NT, 6, 0, 6000, 0, Workstation, false, false, 0x0900, u"Vista"},
    {"Vista SP2", NT, 6, 0, 6002, 2, Workstation, false, false, 0x0902, u"Vista"},
    {"Vista SP3", NT, 6, 0, 6003, 3, Workstation, false, false, 0x09FF, u"Vista"},
    {"Vista under WOW64", NT, 6, 0, 6002, 2, Workstation, true, false, 0x0902, u"Vista"},
    {"Server 2008 SP0", NT, 6, 0, 6001, 0, Server, false, false, 0x0A00, u"Server 2008"},
    {"Server 2008 SP1", NT, 6, 0, 6001, 1, Server, false, false, 0x0A01, u"Server 2008"},
    {"Server 2008 SP2", NT, 6, 0, 6002, 2, Server, false, false, 0x0AFF, u"Server 2008"},
    {"Server 2008 domain controller", NT, 6, 0, 6002, 1, Controller, false, false, 0x0A01,
     u"Server 2008"},
    {"7 SP0", NT, 6, 1, 7600, 0, Workstation, false, false, 0x0B00, u"7"},
    {"7 SP1", NT, 6, 1, 7601, 1, Workstation, false, false, 0x0BFF, u"7"},
    {"7 SP1 under WOW64", NT, 6, 1, 7601, 1, Workstation, true, false, 0x0BFF, u"7"},
    {"Server 2008 R2 SP0", NT, 6, 1, 7600, 0, Server, false, false, 0x0C00, u"Server 2008 R2"},
    {"Server 2008 R2 SP1", NT, 6, 1, 7601, 1, Server, false, false, 0x0CFF, u"Server 2008 R2"},
    {"Server 2008 R2 controller", NT, 6, 1, 7601, 1, Controller, false, false, 0x0CFF,
     u"Server 2008 R2"},
    {"8", NT, 6, 2, 9200, 0, Workstation, false, false, 0xFF00, u"6.2.9200"},
    {"8.1", NT, 6, 3, 9600, 0, Workstation, false, false, 0xFF00, u"6.3.9600"},
    {"Server 2012 with SP", NT, 6, 2, 9200, 1, Server, false, false, 0xFF00, u"6.2.9200"},
    {"10", NT, 10, 0, 19045, 0, Workstation, false, false, 0xFF00, u"10.0.19045"},
    {"major 7", NT, 7, 0, 1, 0, Workstation, false, false, 0xFF00, u"7.0.1"},
    {"other platform", OsPlatformOther, 5, 1, 2600, 3, Workstation, false, false, 0xFF00,
     u"5.1.2600"},
    {"other platform, old numbers", OsPlatformOther, 4, 0, 0, 0, 0, false, false, 0xFF00, u"4.0.0"},
};

} // namespace

TEST(System, MapOsVersionTable) {
  for (const VersionRow& row : VersionRows) {
    SCOPED_TRACE(row.label);
    TOsRecord record;
    record.Platform = row.platform;
    record.Major = row.major;
    record.Minor = row.minor;
    record.Build = row.build;
    record.ServicePackMajor = row.servicePack;
    record.ProductType = row.productType;
    record.IsWow64 = row.wow64;
    const TOsVersion version = MapOsVersion(record, row.serverR2);
    EXPECT_EQ(version.Code, row.code);
    EXPECT_EQ(version.Name, row.name);
  }
}

TEST(System, MapOsVersionIgnoresMinorServicePackAndSuite) {
  TOsRecord record;
  record.Platform = OsPlatformNT;
  record.Major = 6;
  record.Minor = 0;
  record.Build = 6002;
  record.ServicePackMajor = 2;
  record.ProductType = OsProductWorkstation;
  const TOsVersion plain = MapOsVersion(record, false);
  record.ServicePackMinor = 7;
  record.SuiteMask = 0x0300;
  record.ServicePack = u"Service Pack 2";
  const TOsVersion decorated = MapOsVersion(record, false);
  EXPECT_EQ(decorated.Code, plain.Code);
  EXPECT_EQ(decorated.Name, plain.Name);
  EXPECT_EQ(plain.Code, 0x0902);
}

TEST(System, NothingBeforeTheProbe) {
  EXPECT_EQ(OsVersionCode(), 0);
  EXPECT_EQ(OsFamily(), 0);
  EXPECT_EQ(OsName(), u"");
  EXPECT_FALSE(IsWow64());
  EXPECT_EQ(OsRecord().Major, 0u);
}

TEST(System, NestedProbesShareTheFirstAndTheLastClears) {
  std::u16string name;
  uint16_t code = 0;
  {
    TSystemProbe outer;
    name = OsName();
    code = OsVersionCode();
    EXPECT_FALSE(name.empty());
    {
      TSystemProbe inner;
      EXPECT_EQ(OsName(), name);
      EXPECT_EQ(OsVersionCode(), code);
    }
    EXPECT_EQ(OsName(), name);
    EXPECT_EQ(OsVersionCode(), code);
  }
  EXPECT_EQ(OsName(), u"");
  EXPECT_EQ(OsVersionCode(), 0);
  EXPECT_EQ(OsRecord().Build, 0u);
}

TEST(System, TaskbarAbsentLeavesOutputsUntouched) {
  // Tests run without a display (Wine: no shell window; POSIX: no taskbar at all).
  TSystemProbe probe;
  int edge = 77;
  TRect rect{-5, 6, -7, 8};
  EXPECT_FALSE(GetTaskbarRect(edge, rect));
  EXPECT_EQ(edge, 77);
  EXPECT_EQ(rect.Left, -5);
  EXPECT_EQ(rect.Top, 6);
  EXPECT_EQ(rect.Right, -7);
  EXPECT_EQ(rect.Bottom, 8);
}

#ifdef _WIN32

// The Wine prefix of the tests reports Windows 7 SP1, workstation.
TEST(System, RunningProbe) {
  TSystemProbe probe;
  const TOsRecord& record = OsRecord();
  EXPECT_EQ(record.Platform, OsPlatformNT);
  EXPECT_EQ(record.Major, 6u);
  EXPECT_EQ(record.Minor, 1u);
  EXPECT_EQ(record.Build, 7601u);
  EXPECT_EQ(record.ServicePackMajor, 1);
  EXPECT_EQ(record.ProductType, OsProductWorkstation);
  EXPECT_EQ(record.ServicePack, U16("Service Pack 1"));
  EXPECT_EQ(OsVersionCode(), 0x0BFF);
  EXPECT_EQ(OsFamily(), 0x0B00);
  EXPECT_EQ(OsName(), u"7");
#ifdef _WIN64
  EXPECT_FALSE(IsWow64());
  EXPECT_FALSE(record.IsWow64);
#endif
}

#else

TEST(System, RunningProbeWithoutWindows) {
  TSystemProbe probe;
  utsname names{};
  ASSERT_EQ(uname(&names), 0);
  EXPECT_EQ(OsVersionCode(), 0);
  EXPECT_EQ(OsFamily(), 0);
  EXPECT_FALSE(IsWow64());
  EXPECT_EQ(OsRecord().Platform, OsPlatformWin32s);
  EXPECT_EQ(OsRecord().Major, 0u);
  const std::u16string expectedStart = U16(names.sysname) + u' ';
  const std::u16string name = OsName();
  ASSERT_GT(name.size(), expectedStart.size());
  EXPECT_EQ(name.substr(0, expectedStart.size()), expectedStart);
  // The release is cut after its second number.
  const std::u16string release = name.substr(expectedStart.size());
  EXPECT_EQ(U16(names.release).substr(0, release.size()), release);
  EXPECT_LE(std::count(release.begin(), release.end(), u'.'), 1);
}

#endif

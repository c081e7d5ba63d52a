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

// A row names what differs from a plain NT workstation without a service pack.
struct VersionRow {
  const char* label;
  uint8_t platform = OsPlatformNT;
  struct {
    uint32_t major, minor, build;
  } version;
  uint16_t servicePack = 0;
  uint8_t productType = OsProductWorkstation;
  bool wow64 = false;
  bool serverR2 = false; // what the R2 metric reports
  uint16_t code;
  std::u16string name;
};

constexpr uint8_t W9x = OsPlatformWindows9x;
constexpr uint8_t Controller = OsProductDomainController;
constexpr uint8_t Server = OsProductServer;

const VersionRow VersionRows[] = {
    {.label = "Windows 95",
     .platform = W9x,
     .version = {4, 0, 950},
     .productType = 0,
     .code = 0x0100,
     .name = u"Unsupported"},
    {.label = "9x platform with 6.1 numbers",
     .platform = W9x,
     .version = {6, 1, 7601},
     .productType = 1,
     .code = 0x0100,
     .name = u"Unsupported"},
    {.label = "NT 3.51",
     .version = {3, 51, 1057},
     .servicePack = 5,
     .code = 0x0100,
     .name = u"Unsupported"},
    {.label = "NT 4 SP6",
     .version = {4, 0, 1381},
     .servicePack = 6,
     .code = 0x0100,
     .name = u"Unsupported"},
    {.label = "NT 4 server",
     .version = {4, 0, 1381},
     .servicePack = 6,
     .productType = Server,
     .code = 0x0100,
     .name = u"Unsupported"},
    {.label = "NT major 1", .version = {1, 0, 0}, .code = 0x0100, .name = u"Unsupported"},
    {.label = "2000 SP0", .version = {5, 0, 2195}, .code = 0x0600, .name = u"2000"},
    {.label = "2000 SP4",
     .version = {5, 0, 2195},
     .servicePack = 4,
     .code = 0x0604,
     .name = u"2000"},
    {.label = "2000 SP5",
     .version = {5, 0, 2195},
     .servicePack = 5,
     .code = 0x06FF,
     .name = u"2000"},
    {.label = "2000 server SP4",
     .version = {5, 0, 2195},
     .servicePack = 4,
     .productType = Server,
     .code = 0x0604,
     .name = u"2000"},
    {.label = "XP SP0", .version = {5, 1, 2600}, .code = 0x0700, .name = u"XP"},
    {.label = "XP SP3", .version = {5, 1, 2600}, .servicePack = 3, .code = 0x0703, .name = u"XP"},
    {.label = "XP SP4", .version = {5, 1, 2600}, .servicePack = 4, .code = 0x07FF, .name = u"XP"},
    {.label = "Server 2003 SP0",
     .version = {5, 2, 3790},
     .productType = Server,
     .code = 0x0800,
     .name = u"Server 2003"},
    {.label = "Server 2003 SP2",
     .version = {5, 2, 3790},
     .servicePack = 2,
     .productType = Server,
     .code = 0x0802,
     .name = u"Server 2003"},
    {.label = "Server 2003 SP3",
     .version = {5, 2, 3790},
     .servicePack = 3,
     .productType = Server,
     .code = 0x08FF,
     .name = u"Server 2003"},
    {.label = "Server 2003 R2 SP2",
     .version = {5, 2, 3790},
     .servicePack = 2,
     .productType = Server,
     .serverR2 = true,
     .code = 0x0802,
     .name = u"Server 2003 R2"},
    {.label = "Server 2003 R2 SP3",
     .version = {5, 2, 3790},
     .servicePack = 3,
     .productType = Server,
     .serverR2 = true,
     .code = 0x08FF,
     .name = u"Server 2003 R2"},
    {.label = "Server 2003 domain controller",
     .version = {5, 2, 3790},
     .servicePack = 1,
     .productType = Controller,
     .code = 0x0801,
     .name = u"Server 2003"},
    {.label = "Server 2003 under WOW64",
     .version = {5, 2, 3790},
     .servicePack = 2,
     .productType = Server,
     .wow64 = true,
     .code = 0x0802,
     .name = u"Server 2003"},
    {.label = "XP x64 under WOW64 SP0",
     .version = {5, 2, 3790},
     .wow64 = true,
     .code = 0x0700,
     .name = u"XP"},
    {.label = "XP x64 under WOW64 SP2",
     .version = {5, 2, 3790},
     .servicePack = 2,
     .wow64 = true,
     .code = 0x0702,
     .name = u"XP"},
    {.label = "XP x64 under WOW64 SP3",
     .version = {5, 2, 3790},
     .servicePack = 3,
     .wow64 = true,
     .code = 0x07FF,
     .name = u"XP"},
    {.label = "XP x64 without WOW64",
     .version = {5, 2, 3790},
     .servicePack = 2,
     .code = 0x0000,
     .name = u"5.2.3790"},
    {.label = "XP x64 without WOW64, R2 metric",
     .version = {5, 2, 3790},
     .servicePack = 2,
     .serverR2 = true,
     .code = 0x0000,
     .name = u"5.2.3790"},
    {.label = "5.2 with product type 0",
     .version = {5, 2, 3790},
     .productType = 0,
     .code = 0x0000,
     .name = u"5.2.3790"},
    {.label = "5.3", .version = {5, 3, 4000}, .code = 0x0000, .name = u"5.3.4000"},
    {.label = "NT major 0", .version = {0, 9, 12}, .code = 0x0000, .name = u"0.9.12"},
    {.label = "Win32s",
     .platform = OsPlatformWin32s,
     .version = {3, 10, 0},
     .productType = 0,
     .code = 0x0000,
     .name = u"3.10.0"},
    {.label = "Vista SP0", .version = {6, 0, 6000}, .code = 0x0900, .name = u"Vista"},
    {.label = "Vista SP2",
     .version = {6, 0, 6002},
     .servicePack = 2,
     .code = 0x0902,
     .name = u"Vista"},
    {.label = "Vista SP3",
     .version = {6, 0, 6003},
     .servicePack = 3,
     .code = 0x09FF,
     .name = u"Vista"},
    {.label = "Vista under WOW64",
     .version = {6, 0, 6002},
     .servicePack = 2,
     .wow64 = true,
     .code = 0x0902,
     .name = u"Vista"},
    {.label = "Server 2008 SP0",
     .version = {6, 0, 6001},
     .productType = Server,
     .code = 0x0A00,
     .name = u"Server 2008"},
    {.label = "Server 2008 SP1",
     .version = {6, 0, 6001},
     .servicePack = 1,
     .productType = Server,
     .code = 0x0A01,
     .name = u"Server 2008"},
    {.label = "Server 2008 SP2",
     .version = {6, 0, 6002},
     .servicePack = 2,
     .productType = Server,
     .code = 0x0AFF,
     .name = u"Server 2008"},
    {.label = "Server 2008 domain controller",
     .version = {6, 0, 6002},
     .servicePack = 1,
     .productType = Controller,
     .code = 0x0A01,
     .name = u"Server 2008"},
    {.label = "7 SP0", .version = {6, 1, 7600}, .code = 0x0B00, .name = u"7"},
    {.label = "7 SP1", .version = {6, 1, 7601}, .servicePack = 1, .code = 0x0BFF, .name = u"7"},
    {.label = "7 SP1 under WOW64",
     .version = {6, 1, 7601},
     .servicePack = 1,
     .wow64 = true,
     .code = 0x0BFF,
     .name = u"7"},
    {.label = "Server 2008 R2 SP0",
     .version = {6, 1, 7600},
     .productType = Server,
     .code = 0x0C00,
     .name = u"Server 2008 R2"},
    {.label = "Server 2008 R2 SP1",
     .version = {6, 1, 7601},
     .servicePack = 1,
     .productType = Server,
     .code = 0x0CFF,
     .name = u"Server 2008 R2"},
    {.label = "Server 2008 R2 controller",
     .version = {6, 1, 7601},
     .servicePack = 1,
     .productType = Controller,
     .code = 0x0CFF,
     .name = u"Server 2008 R2"},
    {.label = "8", .version = {6, 2, 9200}, .code = 0xFF00, .name = u"6.2.9200"},
    {.label = "8.1", .version = {6, 3, 9600}, .code = 0xFF00, .name = u"6.3.9600"},
    {.label = "Server 2012 with SP",
     .version = {6, 2, 9200},
     .servicePack = 1,
     .productType = Server,
     .code = 0xFF00,
     .name = u"6.2.9200"},
    {.label = "10", .version = {10, 0, 19045}, .code = 0xFF00, .name = u"10.0.19045"},
    {.label = "major 7", .version = {7, 0, 1}, .code = 0xFF00, .name = u"7.0.1"},
    {.label = "other platform",
     .platform = OsPlatformOther,
     .version = {5, 1, 2600},
     .servicePack = 3,
     .code = 0xFF00,
     .name = u"5.1.2600"},
    {.label = "other platform, old numbers",
     .platform = OsPlatformOther,
     .version = {4, 0, 0},
     .productType = 0,
     .code = 0xFF00,
     .name = u"4.0.0"},
};

} // namespace

TEST(System, MapOsVersionTable) {
  for (const VersionRow& row : VersionRows) {
    SCOPED_TRACE(row.label);
    TOsRecord record;
    record.Platform = row.platform;
    record.Major = row.version.major;
    record.Minor = row.version.minor;
    record.Build = row.version.build;
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

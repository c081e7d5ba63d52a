// VornLibSystem: facts about the running Windows system, gathered once at start-up, and the
// taskbar's position. The mapping from a version record to a version code and a release name is
// portable (VornLibSystem.cpp); the probe is the platform's (VornLibSystem_win32.cpp /
// VornLibSystem_posix.cpp).
#pragma once

#include <cstdint>
#include <string>

// Platform ids of the OS record.
constexpr uint8_t OsPlatformWin32s = 0;
constexpr uint8_t OsPlatformWindows9x = 1;
constexpr uint8_t OsPlatformNT = 2;
constexpr uint8_t OsPlatformOther = 3;

// Product types of the OS record (0 when only the short version record could be read).
constexpr uint8_t OsProductWorkstation = 1;
constexpr uint8_t OsProductDomainController = 2;
constexpr uint8_t OsProductServer = 3;

// Release families: the high byte of the version code. The low byte is the service-pack level,
// 0xFF for a service pack above the highest one known for the family.
constexpr uint16_t OsFamilyNone = 0x0000; // not a Windows release the program knows by name
constexpr uint16_t OsFamilyUnsupported = 0x0100;
constexpr uint16_t OsFamily2000 = 0x0600;
constexpr uint16_t OsFamilyXP = 0x0700;
constexpr uint16_t OsFamilyServer2003 = 0x0800;
constexpr uint16_t OsFamilyVista = 0x0900;
constexpr uint16_t OsFamilyServer2008 = 0x0A00;
constexpr uint16_t OsFamily7 = 0x0B00;
constexpr uint16_t OsFamilyServer2008R2 = 0x0C00;
constexpr uint16_t OsFamilyNewer = 0xFF00; // 6.2 and above

// The version record of the running system.
struct TOsRecord {
  uint8_t Platform = OsPlatformWin32s;
  uint32_t Major = 0;
  uint32_t Minor = 0;
  uint32_t Build = 0;
  std::u16string ServicePack; // trimmed
  uint16_t ServicePackMajor = 0;
  uint16_t ServicePackMinor = 0;
  uint16_t SuiteMask = 0;
  uint8_t ProductType = 0;
  bool IsWow64 = false; // a 32-bit process on 64-bit Windows
};

struct TOsVersion {
  uint16_t Code = 0;
  std::u16string Name;
};

// The version code and release name of a record. serverR2 is the system's "Server 2003 R2"
// metric (SM_SERVERR2); it only matters for the Server 2003 family.
TOsVersion MapOsVersion(const TOsRecord& record, bool serverR2);
// "major.minor.build" in decimal.
std::u16string DottedOsVersion(const TOsRecord& record);

// The running system as the start-up probe found it. Before the probe runs (and after it shuts
// down) the record is empty, the code 0 and the name empty. Without Windows (POSIX) the record
// stays empty, the code is 0 and the name is the kernel's, e.g. "Linux 6.1".
const TOsRecord& OsRecord();
uint16_t OsVersionCode();
uint16_t OsFamily(); // OsVersionCode() & 0xFF00
const std::u16string& OsName();
bool IsWow64();

struct TRect {
  int32_t Left;
  int32_t Top;
  int32_t Right;
  int32_t Bottom;
};

// Taskbar edges.
constexpr int TaskbarEdgeLeft = 0;
constexpr int TaskbarEdgeTop = 1;
constexpr int TaskbarEdgeRight = 2;
constexpr int TaskbarEdgeBottom = 3;

// The taskbar's edge and rectangle. False when there is no taskbar or it cannot be read; the
// outputs are then left as they were.
bool GetTaskbarRect(int& edge, TRect& rect);

// The start-up probe. The program entry creates one before anything else and keeps it until it
// returns; it fills the OS record and holds the system libraries the probe loaded. Nested probes
// share the first one's work; the last one to go releases the libraries and clears the record.
class TSystemProbe {
public:
  TSystemProbe();
  ~TSystemProbe();
  TSystemProbe(const TSystemProbe&) = delete;
  TSystemProbe& operator=(const TSystemProbe&) = delete;
};

// The probe's platform part, called by the first probe: fills the record and the version.
void ProbePlatform(TOsRecord& record, TOsVersion& version);

// The start-up probe's state and its accessors, and the version code and release name of a
// version record. The probe's OS calls are the platform's (ProbePlatform).
#include "VornLibSystem.h"

namespace {

std::u16string Decimal(uint32_t value) {
  std::u16string digits;
  do {
    digits.insert(digits.begin(), static_cast<char16_t>(u'0' + value % 10));
    value /= 10;
  } while (value != 0);
  return digits;
}

bool IsServer(const TOsRecord& record) {
  return record.ProductType == OsProductDomainController || record.ProductType == OsProductServer;
}

// The family plus the service-pack level, or the family plus 0xFF above the highest known level.
uint16_t WithServicePack(uint16_t family, const TOsRecord& record, uint16_t highest) {
  return static_cast<uint16_t>(
      family | (record.ServicePackMajor <= highest ? record.ServicePackMajor : 0xFF));
}

uint16_t VersionCode(const TOsRecord& record) {
  switch (record.Platform) {
  case OsPlatformWindows9x:
    return OsFamilyUnsupported;
  case OsPlatformNT:
    break;
  case OsPlatformOther:
    return OsFamilyNewer;
  default:
    return OsFamilyNone;
  }
  if (record.Major == 0)
    return OsFamilyNone;
  if (record.Major <= 4)
    return OsFamilyUnsupported;
  if (record.Major == 5) {
    switch (record.Minor) {
    case 0:
      return WithServicePack(OsFamily2000, record, 4);
    case 1:
      return WithServicePack(OsFamilyXP, record, 3);
    case 2:
      if (IsServer(record))
        return WithServicePack(OsFamilyServer2003, record, 2);
      // XP Professional x64 Edition is only known as XP to a 32-bit process.
      return record.IsWow64 ? WithServicePack(OsFamilyXP, record, 2) : OsFamilyNone;
    default:
      return OsFamilyNone;
    }
  }
  if (record.Major == 6) {
    switch (record.Minor) {
    case 0:
      return IsServer(record) ? WithServicePack(OsFamilyServer2008, record, 1)
                              : WithServicePack(OsFamilyVista, record, 2);
    case 1:
      return IsServer(record) ? WithServicePack(OsFamilyServer2008R2, record, 0)
                              : WithServicePack(OsFamily7, record, 0);
    default:
      return OsFamilyNewer;
    }
  }
  return OsFamilyNewer;
}

} // namespace

std::u16string DottedOsVersion(const TOsRecord& record) {
  return Decimal(record.Major) + u'.' + Decimal(record.Minor) + u'.' + Decimal(record.Build);
}

TOsVersion MapOsVersion(const TOsRecord& record, bool serverR2) {
  TOsVersion version;
  version.Code = VersionCode(record);
  switch (version.Code & 0xFF00) {
  case OsFamilyUnsupported:
    version.Name = u"Unsupported";
    break;
  case OsFamily2000:
    version.Name = u"2000";
    break;
  case OsFamilyXP:
    version.Name = u"XP";
    break;
  case OsFamilyServer2003:
    version.Name = serverR2 ? u"Server 2003 R2" : u"Server 2003";
    break;
  case OsFamilyVista:
    version.Name = u"Vista";
    break;
  case OsFamilyServer2008:
    version.Name = u"Server 2008";
    break;
  case OsFamily7:
    version.Name = u"7";
    break;
  case OsFamilyServer2008R2:
    version.Name = u"Server 2008 R2";
    break;
  default:
    version.Name = DottedOsVersion(record);
    break;
  }
  return version;
}

// ---- The start-up probe ----

namespace {

struct TSystemState {
  int Probes = 0;
  TOsRecord Record;
  TOsVersion Version;
};

TSystemState& State() {
  static TSystemState state;
  return state;
}

} // namespace

TSystemProbe::TSystemProbe() {
  TSystemState& state = State();
  if (state.Probes++ == 0)
    ProbePlatform(state.Record, state.Version);
}

TSystemProbe::~TSystemProbe() {
  TSystemState& state = State();
  if (--state.Probes == 0) {
    state.Record = TOsRecord();
    state.Version = TOsVersion();
  }
}

const TOsRecord& OsRecord() {
  return State().Record;
}
uint16_t OsVersionCode() {
  return State().Version.Code;
}
uint16_t OsFamily() {
  return static_cast<uint16_t>(State().Version.Code & 0xFF00);
}
const std::u16string& OsName() {
  return State().Version.Name;
}
bool IsWow64() {
  return State().Record.IsWow64;
}

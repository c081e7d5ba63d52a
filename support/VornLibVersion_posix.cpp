// Version resources are a Windows matter: no file has one here, so nothing ever loads.
#include "VornLibVersion.h"

void TVornVersionInfo::Load(std::u16string_view) {
  FLoaded = false;
  FFileName.clear();
  FFixed = TFixedFileInfo{};
  FData.clear();
  FTranslations.clear();
  FTranslationCount = 0;
  FCurrentTranslation = -1;
}

// The entry of the readers of files with a header.
#include "import/ContainerImport.h"

int ImportContainer(const std::string& inputPath, InputFormat format, SlotGuard& tempSlot,
                    WaveInfo& info, ImportLevels& levels) {
  switch (format) {
    case kFormatWav:
      return ImportWav(inputPath, tempSlot, info, levels);
    case kFormatNpy:
      return ImportNpy(inputPath, tempSlot, info, levels);
    case kFormatSigmf:
      return ImportSigmf(inputPath, tempSlot, info, levels);
    default:
      return FailImport(tempSlot, "*** Wrong import data format.");
  }
}

#include "tasks/remove.h"

#include "base/messages.h"
#include "base/process.h"
#include "base/text.h"
#include "tasks/copy.h"
#include "tasks/enginetransaction.h"

int HandleRemove64Bit(const wchar_t* installDir) {
  QEL_TRACE();
  HandleQELInfoRemoval(installDir);
  HandleVBAEngineRemoval(installDir);
  return 0;
}

int HandleRemove32Bit(const wchar_t* installDir) {
  QEL_TRACE();
  DebugLog(L"HandleRemove32Bit: not a 64-bit Windows: no component was installed from <%ls>",
           installDir != nullptr ? installDir : L"");
  return 0;
}

int HandleQELInfoRemoval(const wchar_t* installDir) {
  QEL_TRACE();
  PathBuffer extension = {};
  if (!FindExtension(installDir, extension)) return 0;  // nothing to unregister
  const int exitCode = SpawnRegSvr(extension, false);
  if (exitCode == 0) return 0;
  DebugLog(L"HandleQELInfoRemoval: the registration tool ended with <%d>", exitCode);
  ShowExtensionUnregisterFailed(extension);
  return 1;
}

int HandleVBAEngineRemoval(const wchar_t* installDir) {
  QEL_TRACE();
  PathBuffer systemDir = {};
  PathBuffer engineDir = {};
  PathBuffer names[kEngineFileCount] = {};
  EngineTransaction engine;
  // Without the installation's engine the files are not known; whether that matters, only the
  // product's reference tells.
  const bool found = FindEngine(installDir, engineDir, names);
  const bool planned =
      GetNativeSystemDirectory(systemDir) && PlanEngineTransaction(engine, systemDir, found ? names : nullptr);
  const EngineRemoval removal = planned ? RemoveEngineFiles(engine) : EngineRemoval::Failed;
  const wchar_t* const outcomes[] = {L"the product holds no reference to it",
                                     L"the product's reference is given back, other products still use it",
                                     L"it is removed", L"it stays as it was"};
  DebugLog(L"HandleVBAEngineRemoval: the engine: %ls", outcomes[static_cast<int>(removal)]);
  if (removal != EngineRemoval::Failed) return 0;
  ShowEngineRemoveFailed(systemDir);
  return 1;
}

// Ties the launcher to the running agent: waiting for its manager, handing the session
// instruction over through the product key, and the code-sign probe.
#include <windows.h>

#include <vector>

#include "app/app.h"
#include "launch/core/instruction.h"
#include "launch/product.h"
#include "settings/product_key.h"
#include "settings/registry.h"
#include "ui/loading.h"
#include "util/utility.h"

bool CUnPackFileApp::WaitProcessExit(const std::wstring& name, DWORD sessionId) {
  std::vector<DWORD> ids;
  if (!CUtility::FindProcesses(name, ids, sessionId) || ids.empty()) return false;
  lumo::UniqueHandle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, ids.front()));
  if (!process) {
    CUtility::Log("[%s] failed to OpenProcess %d", "CUnPackFileApp::WaitProcessExit",
                  static_cast<int>(::GetLastError()));
    return false;
  }
  // A process that ends with the code 259 would look alive forever through its exit code
  // alone; where the handle can be had, its signalled state settles that.
  lumo::UniqueHandle ended(::OpenProcess(SYNCHRONIZE, FALSE, ids.front()));
  bool windowSeen = false;
  DWORD exitCode = STILL_ACTIVE;
  do {
    if (!windowSeen && lumo::FindProductWindow() != nullptr) {
      windowSeen = true;
      CloseLoadingWindow(&m_pMainWnd);
    }
    AnimatedWait(1000);
    if (!::GetExitCodeProcess(process.get(), &exitCode)) {
      // Without an exit code there is nothing left to wait on; looping would never end.
      CUtility::Log("[%s] failed to GetExitCodeProcess %d", "CUnPackFileApp::WaitProcessExit",
                    static_cast<int>(::GetLastError()));
      break;
    }
    if (ended && ::WaitForSingleObject(ended.get(), 0) == WAIT_OBJECT_0) break;
  } while (exitCode == STILL_ACTIVE);
  return true;
}

void CUnPackFileApp::HandleInstruction(const std::wstring& instruction) {
  CRegistry registry;
  const bool keyReady = OpenSessionProductKey(registry);
  // Every call starts from a clean slate, so no note or time-out of an earlier run survives.
  if (keyReady) {
    registry.DeleteValue(L"NoteSession");
    registry.DeleteValue(L"IdleSessionTimeout");
  }
  if (instruction.empty()) return;
  CUtility::Log("[%s] LUMO Instruction %ls", "CUnPackFileApp::HandleInstruction", instruction.c_str());
  // Without the product key the registry object would still point at the hive's root: write
  // nothing there.
  if (!keyReady) return;
  for (const lumo::InstructionWrite& write : lumo::ParseInstruction(instruction)) {
    if (write.kind == lumo::InstructionWrite::Kind::kNote)
      registry.WriteString(L"NoteSession", write.note, REG_SZ);
    else
      registry.WriteDWORD(L"IdleSessionTimeout", write.timeout);
  }
}

bool IsCodeSignConfigured() {
  CRegistry registry;
  if (!OpenSessionProductKey(registry)) return false;
  return !registry.ReadString(L"CodeSignTheme", L"", L"").empty() &&
         !registry.ReadString(L"CodeSignOutput", L"", L"").empty();
}

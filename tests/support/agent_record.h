// Reading what the agent stand-in recorded (see agent/README.md for the record format), and
// setting it up for a test: its programs, its agent.ini, the files it carries.
#pragma once

#include <windows.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "agent/core/agent_core.h"
#include "support/winsupport.h"

namespace testsupport {

using AgentRecord = std::map<std::string, std::string>;

// Where the build puts the agent stand-in's programs and its cabinet.
inline std::wstring AgentDir() { return ExeDir() + L"\\agent"; }
inline std::wstring AgentCabinet() { return AgentDir() + L"\\lumo-agent.cab"; }

// The names in the agent's cabinet.
inline std::vector<std::wstring> AgentFiles() {
  return {L"OXManagerLUMO.exe", L"OXServerLUMO.exe", L"Launcher.exe", L"ALUMO.xml",
          L"OXFeatureLUMO.exe", L"OXFeatureLUMONOUIA.exe", L"dxprinter.cat", L"dxprinterx.cat"};
}

inline std::string ToUtf8(const std::wstring& text) {
  if (text.empty()) return std::string();
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(size), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], size, nullptr, nullptr);
  return out;
}

inline std::wstring FromUtf8(const std::string& text) {
  if (text.empty()) return std::wstring();
  const int size = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(size), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], size);
  return out;
}

// Writes agent.ini into a folder that holds (or will hold) the manager. A lifetime of 0
// lets the manager run until its window is closed.
inline bool WriteAgentIni(const std::wstring& folder, unsigned long lifetimeMs, const std::wstring& recordFolder,
                          unsigned long windowDelayMs = 0, int exitCode = 0) {
  const std::string text = "[Agent]\nLifetimeMs=" + std::to_string(lifetimeMs) + "\nRecordFolder=" +
                           ToUtf8(recordFolder) + "\nWindowDelayMs=" + std::to_string(windowDelayMs) +
                           "\nExitCode=" + std::to_string(exitCode) + "\n";
  return WriteBytes(folder + L"\\agent.ini", text.data(), text.size());
}

inline AgentRecord ReadAgentRecord(const std::wstring& path) {
  const std::vector<uint8_t> bytes = ReadBytes(path);
  return agentstandin::ParseRecord(std::string(bytes.begin(), bytes.end()));
}

// The record files of one program ("OXManagerLUMO" or "Launcher") in a record folder.
inline std::vector<std::wstring> AgentRecordFiles(const std::wstring& folder, const std::wstring& program) {
  std::vector<std::wstring> files;
  WIN32_FIND_DATAW data;
  HANDLE find = ::FindFirstFileW((folder + L"\\" + program + L"-*.record").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return files;
  do files.push_back(folder + L"\\" + data.cFileName);
  while (::FindNextFileW(find, &data));
  ::FindClose(find);
  std::sort(files.begin(), files.end());
  return files;
}

// Waits until the folder holds a record of the program; returns the first one found
// (an empty record after the time-out).
inline AgentRecord WaitForAgentRecord(const std::wstring& folder, const std::wstring& program, DWORD timeoutMs) {
  const DWORD start = ::GetTickCount();
  for (;;) {
    const std::vector<std::wstring> files = AgentRecordFiles(folder, program);
    if (!files.empty()) return ReadAgentRecord(files.front());
    if (::GetTickCount() - start > timeoutMs) return AgentRecord();
    ::Sleep(50);
  }
}

inline std::string Field(const AgentRecord& record, const std::string& key) {
  auto it = record.find(key);
  return it == record.end() ? std::string("<missing>") : it->second;
}

// Which feature build a file is ("UIA" or "NOUIA"), whatever it is named now; empty when
// it is neither.
inline std::string FeatureBuildOf(const std::wstring& path) {
  const std::vector<uint8_t> bytes = ReadBytes(path);
  const std::string text(bytes.begin(), bytes.end());
  const std::string marker = "LUMO-FEATURE-BUILD:";
  const size_t at = text.find(marker);
  if (at == std::string::npos) return "";
  const size_t end = text.find('\0', at);
  return text.substr(at + marker.size(), end == std::string::npos ? std::string::npos : end - at - marker.size());
}

// Which catalog placeholder a file is ("dxprinter" or "dxprinterx"); empty when neither.
inline std::string CatalogOf(const std::wstring& path) {
  const std::vector<uint8_t> bytes = ReadBytes(path);
  const std::string text(bytes.begin(), bytes.end());
  const std::string marker = "LUMO-CATALOG:";
  if (text.compare(0, marker.size(), marker) != 0) return "";
  const size_t end = text.find_first_of("\r\n");
  return text.substr(marker.size(), end == std::string::npos ? std::string::npos : end - marker.size());
}

}  // namespace testsupport

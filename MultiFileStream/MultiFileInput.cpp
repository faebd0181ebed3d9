#include "MultiFileStream/MultiFileInput.h"

#include <list>

#include "Support/CFileSystem.h"
#include "Support/Logging.h"
#include "Support/Validation2Exception.h"

MultiFileInput::MultiFileInput(std::string expectedHeader, uint32_t headerSize)
    : m_ExpectedHeader(std::move(expectedHeader)), m_HeaderSize(headerSize) {}

MultiFileInput::~MultiFileInput() = default;

size_t MultiFileInput::GetAllLogFiles(const std::string& directory, const std::string& prefix,
                                      const std::string& extension, const std::string& kind) {
  std::list<std::string> names;
  CFileSystem::FindAllFiles(directory, prefix, extension, names);
  names.sort();
  std::string base = directory;
  if (base.empty() || base.back() != '/') base += '/';
  size_t kept = 0;
  for (const std::string& name : names) {
    if (AddFile(base + name, kind == "binary")) ++kept;
  }
  KIV_DIAG("Total number of files found:" << kept << "\n");
  KIV_DIAG("Total number of bytes:" << m_TotalLength << "\n");
  return kept;
}

bool MultiFileInput::AddFile(const std::string& path, bool binaryOnly) {
  try {
    auto file = std::make_unique<FileToBeRead>(path, m_ExpectedHeader, m_HeaderSize);
    if (binaryOnly && !file->HeaderMatched()) return false;
    m_TotalLength += file->DataLength();
    m_Files.push_back(std::move(file));
    return true;
  } catch (const std::exception&) {
    return false;  // unreadable or too small: not a log file we can use
  }
}

void MultiFileInput::read(void* buffer, uint32_t length) {
  Validation2Exception::CheckParameter(buffer != nullptr, "Invalid parameter: buf");
  if (length == 0) return;
  if (m_InBlock && !m_Files.empty() && m_Files.front()->Remaining() == 0) {
    Validation2Exception::CheckLogic(false,
                                     "Incomplete trace block at the end of file " + m_Files.front()->Path());
  }
  while (!m_Files.empty() && m_Files.front()->Remaining() == 0) m_Files.pop_front();
  Validation2Exception::CheckLogic(!m_Files.empty(), "No more files available for read");
  FileToBeRead& file = *m_Files.front();
  if (m_LastFileRead != file.Path()) m_LastFileRead = file.Path();
  if (file.Remaining() < length) {
    Validation2Exception::CheckLogic(false, "Incomplete trace block at the end of file " + file.Path());
  }
  file.Read(buffer, length);
  m_ReadPosition += length;
}

void MultiFileInput::BeginBlock() {
  while (!m_Files.empty() && m_Files.front()->Remaining() == 0) m_Files.pop_front();
  m_InBlock = true;
  m_BlockStart = m_ReadPosition;
  if (!m_Files.empty()) m_LastFileRead = m_Files.front()->Path();
}

uint64_t MultiFileInput::SkipRestOfFile() {
  if (m_Files.empty()) return 0;
  const uint64_t rest = m_Files.front()->Remaining();
  m_Files.pop_front();
  m_ReadPosition += rest;
  return m_ReadPosition - m_BlockStart;
}

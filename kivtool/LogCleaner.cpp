#include "kivtool/LogCleaner.h"

#include <unistd.h>

#include <cctype>
#include <list>

#include "Support/CFileSystem.h"
#include "Support/Validation2Exception.h"

size_t LogCleaner::DeleteFile(const std::string& directory) {
  std::list<std::string> names;
  CFileSystem::FindAllFiles(directory, "kivlog-", "txt", names);
  CFileSystem::FindAllFiles(directory, "kivlog-", ".json", names);
  names.sort();
  names.unique();  // a name may hold both fragments
  size_t removed = 0;
  for (const std::string& name : names) {
    // The listing matches the extension anywhere in the name; only log file
    // names that end with it are ours to remove.
    if (!name.ends_with("txt") && !name.ends_with(".json")) continue;
    // A failure is logged in diagnostic mode; the next file follows.
    if (Validation2Exception::ReportOSCall(unlink((directory + name).c_str()) == 0, "Can not delete file"))
      ++removed;
  }
  return removed;
}

LogCleaner::Answer LogCleaner::Confirm(const std::string& directory, std::istream& in, std::ostream& out) {
  out << "Are you sure to delete all the log data stored in " << directory << std::endl;
  for (;;) {
    out << "Please select (Y or N ) : " << std::flush;
    std::string word;
    if (!(in >> word)) return Answer::NoAnswer;
    for (char& c : word) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (word == "Y") return Answer::Yes;
    if (word == "N") return Answer::No;
  }
}

// Finding the program's own files (the upload files and "empty") in the
// folders an operator keeps them in.
#pragma once

#include <string>
#include <vector>

struct FoundFile {
  std::string Path;  // the file to open; empty when none was found
  // The name on disk differs from the name asked for in letter case only: the
  // names come from a system whose file names ignore case.
  bool OtherCase = false;
};

// The first of `folders` (in order; an empty entry is the working folder)
// that holds `name`, where the system tells letter case apart also under
// another case of the same letters.
FoundFile FindInFolders(const std::vector<std::string>& folders, const std::string& name);

// The folder of the running program; empty when the system does not tell.
std::string ProgramFolder();

// The process's working folder; empty when the system does not tell.
std::string WorkingFolder();

#pragma once
// Output naming: where and under which name a converted file is saved.
#include <functional>
#include <string>

#include "platform/Path.h"

// The save methods, numbered as the window's radio items.
enum : int {
  smNewName = 0,    // beside the source; "_" in front until the name is free
  smOverwrite = 1,  // beside the source, replacing a file of that name
  smFolder = 2,     // into the chosen folder, replacing a file of that name
};

// True when anything (file, folder, link) of the UTF-8 name exists, so method 0 goes on
// to the next name. A name the OS cannot even look at counts as free: saving there then
// fails with the OS's reason instead of the search running on.
bool SaveNameTaken(const std::string& name);

using TSaveNameTaken = std::function<bool(const std::string& name)>;

// The output's full name for the source's full name (UTF-8) under the save method.
// The folder part is everything up to and including the last path delimiter or drive
// colon; the file-name part gets ".jpg" in place of its last extension (from its last
// "."), or appended when it has none. For a method other than 0, 1, 2 the result is
// previous, unchanged.
std::string MakeSaveFileName(const std::string& sourceName, int saveMethod, const std::string& saveFolder,
                             const std::string& previous,
                             const platform::TPathSyntax& syntax = platform::NativePathSyntax(),
                             const TSaveNameTaken& taken = SaveNameTaken);

// True when the text names an existing folder (an empty text never does).
bool IsExistingFolder(const std::string& folder);

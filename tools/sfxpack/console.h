// Messages on stderr: warnings always, progress only on a terminal.
#pragma once

#include <stdexcept>
#include <string>

// A refusal or failure that ends the command with a non-zero exit.
struct Refusal : std::runtime_error {
  using std::runtime_error::runtime_error;
};

[[noreturn]] void Refuse(const std::string& message);
void Warn(const std::string& message);

// Progress lines overwrite each other on the terminal. Without a terminal on
// stderr they are dropped, so that scripts and logs stay quiet.
void ShowProgress(const std::string& line);
void EndProgress();

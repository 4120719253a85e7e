// What the command-line host needs from the operating system, one file per platform. Paths and arguments
// are UTF-8 strings everywhere; on Windows they are converted to and from the wide forms Windows uses.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

// The program's arguments as UTF-8 (Windows: from the wide command line, not the ANSI code page).
std::vector<std::string> host_args(int argc, char **argv);

// A path from UTF-8, and back.
std::filesystem::path host_path(const std::string &utf8);
std::string host_utf8(const std::filesystem::path &path);

// The directory holding this program.
std::string host_dir();

// The library module's file name, and loading it by a UTF-8 path (null and a reason on failure).
extern const char *const kModuleFile;

// Where the host looks for the module, in order: beside itself first (Windows: only there, so no other
// folder's DLL of that name is ever loaded).
std::vector<std::string> host_module_places();
void *host_load(const std::string &path, std::string *error);
void *host_symbol(void *lib, const char *name);

// True when both paths exist and are one file (a link or another name included).
bool host_same_file(const std::string &a, const std::string &b);
bool host_exists(const std::string &path);
bool host_stderr_is_terminal();

// Ctrl-C (and SIGTERM): the first calls `first` (which must only set a flag); a second ends the process.
void host_on_interrupt(void (*first)());

// The configuration file: key=value lines read into a TTEVSettings record
// (LoadCfgFile) and the record written back into the same file
// (SaveCfgFile), keeping comments, unknown keys, blank lines and the order
// of lines. The file's keys, their value forms and their load defaults are
// known here only; the steps around a load or save (PutRight, the checks,
// the publication) are the store's (config/settings.h).
//
// Line rules shared by load and save: lines end with LF or CR LF and may be
// of any length. A line whose first byte is '#' or ';' is a comment; a line
// without '=' carries nothing. The key is the text before the first '='
// without surrounding blanks and tabs, compared in lower case; the value
// starts after the '=' and the blanks and tabs following it and loses
// trailing blanks, tabs, CR and LF.

#pragma once

#include "config/settingsrecord.h"
#include "core/zostring.h"

// Resets the fields of s that have load defaults and reads s.cfgfile into
// s. Every number is checked by CheckSettingNumber (config/settingnumber.h,
// the file's forms allowed); a refused one leaves its field alone. Returns
// 1 when the file was read and every number taken (error empty); -1 when it
// was read but numbers were refused, error holding one line
// "  Line <n>: <key>=<value>: <reason>\n" per refused number; 0 when it
// could not be read, error holding "Configuration file is not specified"
// or "Cannot open configuration file '<path>'" (also for a read error).
// The values read stay in s in every case. Any thread; takes no lock.
int LoadCfgFile(TTEVSettings& s, String& error);

// Rewrites s.cfgfile with the values of s: saved keys get the record's
// values in place (text and number values replace the old value, flags
// replace only its first character), saved keys the file lacks are
// appended, every other line is copied unchanged. Line breaks (CR LF, LF,
// CR) inside a text value are written as blanks. The file is replaced
// crash-safely (platform/filereplace.h) through <file>.New, which takes the
// old file's owner, group and mode, and the previous file is kept as
// <file>.Old. When s.cfgfile is a symbolic link, all of this happens beside
// its target (resolved once per save) and the link stays as it is. Returns
// 1 on success (error untouched); 0 with error set to "Configuration file
// is not specified", "Cannot open configuration file '<path>'" (also for a
// read error), "Cannot create new configuration file '<target>.New'" (also
// when writing it fails) or "Cannot overwrite configuration file
// '<path>'"; after a failure no .New file is left and the file is
// unchanged. Does not run PutRight. Any thread; takes no lock (the store
// serialises saves).
int SaveCfgFile(const TTEVSettings& s, String& error);

// Splits one configuration line (with or without its line end). Returns 1
// for a key=value line, with key in lower case, valuePos the 0-based offset
// of the value in line and value the value without trailing blanks, tabs,
// CR and LF; returns 0 for a comment or a line without '=' (outputs then
// unspecified). Pure function.
int SplitCfgLine(const String& line, String& key, int& valuePos, String& value);

// Lines of the configuration file at path that the loader passes over
// although they look meant as settings: a key it does not know, or a line
// that is neither blank nor a comment and has no '='. Appends one text per
// such line to warnings, in file order:
//   "unknown key '<key>' in <path> line <n>" and, when a known key is close,
//   " (did you mean '<known>'?)";
//   "line without '=' in <path> line <n> (starts with '<first word>')".
// Values are never quoted (a mistyped line may hold the password). Returns 1
// when the file was read, 0 when it could not be opened or read (warnings
// then holds what was found before). Any thread; takes no lock.
int FindIgnoredCfgLines(const String& path, TStrList& warnings);

// The rights that let the server run programs of its choosing (external,
// shellscript, executeaction, allowupdates) and are on in s, one text each
// in that order: "<key>=1 (line <n>)" with the line of s.cfgfile that set
// it (the last, as the load takes the last), or "<key>=1 (default: key
// absent)". Reads the file; a file it cannot read gives the default form.
// Any thread; takes no lock.
void DescribeProgramRights(const TTEVSettings& s, TStrList& rights);

// The configuration file: key=value lines read into a TTEVSettings record
// (TTEVSettings::LoadOptions_) and the record written back into the same file
// (TTEVSettings::SaveOptions_), keeping comments, unknown keys, blank lines
// and the order of lines.
//
// Line rules shared by load and save: lines end with LF or CR LF and may be
// of any length. A line whose first byte is '#' or ';' is a comment; a line
// without '=' carries nothing. The key is the text before the first '='
// without surrounding blanks and tabs, compared in lower case; the value
// starts after the '=' and the blanks and tabs following it and loses
// trailing blanks, tabs, CR and LF.
//
// TTEVSettings::LoadOptions_(error): resets the fields with load defaults,
// reads cfgfile, runs PutRight, turns a timeout of 0 into 4000 and a
// transferidle of 0 into 60000 and checks port, password and tevpath.
// Every number is checked by CheckSettingNumber (config/settingnumber.h,
// the file's forms allowed); each refused one is appended to error as "  Line <n>:
// <key>=<value>: <reason>\n" and fails the load without the checks below.
// Returns 1 on success (error empty or holding
// PutRight's filter warning), 0 on failure with error holding
// "Configuration file is not specified", "Cannot open configuration file
// '<path>'", or the check messages appended in the order port, password,
// path ("  TCP post is not specified!\n", "  Password is not specified!\n",
// "  Full path to the agent is not specified!\n" or "  Invalid path to the
// agent!\n"). The values read stay in the record either way. Takes no lock;
// callers go through TSettingsStore, which works on a private copy.
//
// TTEVSettings::SaveOptions_(error): runs PutRight, then rewrites cfgfile:
// saved keys get the record's values in place (text and number values
// replace the old value, flags replace only its first character), saved keys
// the file lacks are appended, every other line is copied unchanged. The new
// content is written to cfgfile.New (mode 0600, then the old file's owner,
// group and mode), flushed to disk, the previous file is kept as cfgfile.Old
// and cfgfile.New is renamed over cfgfile, so cfgfile is whole at every
// moment. When cfgfile is a symbolic link, all of this happens beside its
// target (resolved once per save) and the link stays as it is. Line breaks
// (CR LF, LF, CR) inside a text value are written as blanks. Returns 1 on
// success (error empty or PutRight's warning), 0 with error holding one of
// "Configuration file is not specified", "Cannot open configuration file
// '<path>'" (also for a read error), "Cannot create new configuration file
// '<path>.New'" (also when writing it fails) or "Cannot overwrite
// configuration file '<path>'"; after a failure no .New file is left and
// cfgfile is unchanged. Takes no lock.
#pragma once

#include "core/zostring.h"

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

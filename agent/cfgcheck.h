// `tev --check CFG`: checks a configuration file without starting the
// agent, for an operator before a start or a reload.
#pragma once

// Loads cfgfile into a private settings record and prints one line per
// finding to standard output, "Error: ..." or "Warning: ...", then the
// rights that run programs and are on ("Rights that run programs:" and one
// indented "external=1 (line 37)" or "external=1 (default: key absent)"
// line each, or "none on"), then a summary line. Errors: the file does not
// load (the loader's messages: among them an unknown key within two edits
// of a right's key), a number that is not a whole number or is out of
// range, a program file (tevpath) that is not executable. Warnings: keys
// the loader does not know and lines without '=' (with the nearest known
// key), flag values other than 0 and 1, scripts of enabled rights that are
// not set, do not exist or are not executable ("builtin" is fine), log, pid
// and temporary folders that do not exist, the loader's filter warning, the
// sample's placeholder password. Returns 0 when clean, 1 when there is an error,
// 3 when there are warnings only. Main thread; changes no global state but
// the TMPDIR environment variable (as any load does).
int CheckConfiguration(const char* cfgfile);

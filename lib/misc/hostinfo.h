// Host operating-system identification: kernel version, distribution,
// a short guest-style OS name, a full name and the one-line detailed
// description that heads every log file. Computed once per process.
#pragma once

// The detailed description ("bitness='64' distroName='Debian' ..."), newly
// allocated (release with free()); nullptr when identification failed.
char *Hostinfo_OSDetailedData(void);

// Short ("debian12-64") and full ("Linux 6.1.0 Debian GNU/Linux 12") OS
// names, newly allocated (release with free()); nullptr when identification
// failed.
char *Hostinfo_OSName(void);
char *Hostinfo_OSFullName(void);

// Kernel version numbers: index 0 to 3 (major, minor, patch, fourth number);
// 0 for any other index. A kernel release that cannot be read or parsed
// stops the program.
int Hostinfo_OSVersion(unsigned int index);
// The kernel release text ("6.1.0-18-amd64"); valid for the process's life.
const char *Hostinfo_OSVersionString(void);

// Host identification against fake root folders: os-release, lsb_release,
// distribution files, their scores, the short-name table, the generic names
// and the escaped description.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/utsname.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "lib/misc/hostinfo.h"
#include "lib/misc/hostinfo_internal.h"

namespace {

class FakeRoot {
 public:
  FakeRoot() {
    char tmpl[] = "/tmp/hostinfo_test.XXXXXX";
    path_ = mkdtemp(tmpl);
  }
  ~FakeRoot() {
    std::string cmd = "rm -rf '" + path_ + "'";
    EXPECT_EQ(system(cmd.c_str()), 0);
  }
  void Write(const std::string &rel, const std::string &text, mode_t mode = 0644) {
    std::string full = path_ + rel;
    std::string dir = full.substr(0, full.rfind('/'));
    std::string cmd = "mkdir -p '" + dir + "'";
    ASSERT_EQ(system(cmd.c_str()), 0);
    FILE *f = fopen(full.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fwrite(text.data(), 1, text.size(), f);
    fclose(f);
    chmod(full.c_str(), mode);
  }
  // An lsb_release stand-in answering -sd, -si and -sr.
  void Lsb(const std::string &desc, const std::string &id, const std::string &release) {
    Write("/usr/bin/lsb_release",
          "#!/bin/sh\ncase \"$1\" in\n-sd) echo '" + desc + "';;\n-si) echo '" + id +
              "';;\n-sr) echo '" + release + "';;\nesac\n",
          0755);
  }
  const std::string &Path() const { return path_; }

 private:
  std::string path_;
};

struct utsname Uts(const char *sysname, const char *release, const char *machine) {
  struct utsname u;
  memset(&u, 0, sizeof u);
  snprintf(u.sysname, sizeof u.sysname, "%s", sysname);
  snprintf(u.release, sizeof u.release, "%s", release);
  snprintf(u.machine, sizeof u.machine, "%s", machine);
  return u;
}

struct Identified {
  bool ok;
  HostinfoOSResult r;
};

std::unique_ptr<Identified> Identify(const FakeRoot &root, const struct utsname &u) {
  auto id = std::make_unique<Identified>();
  id->ok = HostinfoOSData(root.Path(), &u, &id->r);
  return id;
}

const struct utsname kLinux64 = Uts("Linux", "6.1.0-18-amd64", "x86_64");

TEST(Hostinfo, OsReleaseOnly) {
  FakeRoot root;
  root.Write("/etc/os-release",
             "PRETTY_NAME=\"Ubuntu 22.04.3 LTS\"\nNAME=\"Ubuntu\"\nVERSION_ID=\"22.04\"\n"
             "VERSION=\"22.04.3 LTS (Jammy Jellyfish)\"\nID=ubuntu\n");
  auto id = Identify(root, kLinux64);
  ASSERT_TRUE(id->ok);
  EXPECT_STREQ(id->r.shortName, "ubuntu-64");
  EXPECT_STREQ(id->r.fullName,
               "Linux 6.1.0-18-amd64 Ubuntu 22.04.3 LTS Ubuntu 22.04 22.04.3 LTS (Jammy Jellyfish)");
  EXPECT_STREQ(id->r.detailed,
               "bitness='64' distroAddlVersion='22.04.3 LTS (Jammy Jellyfish)' "
               "distroName='Ubuntu' distroVersion='22.04' familyName='Linux' "
               "kernelVersion='6.1.0-18-amd64' prettyName='Ubuntu 22.04.3 LTS' "
               "version='6.1.0-18-amd64'");
}

TEST(Hostinfo, LsbReleaseProgramOnlyAndBoth) {
  FakeRoot root;
  root.Lsb("\"Debian GNU/Linux 12 (bookworm)\"", "Debian", "12");
  auto id = Identify(root, kLinux64);
  ASSERT_TRUE(id->ok);
  EXPECT_STREQ(id->r.shortName, "debian12-64");
  EXPECT_STREQ(id->r.fields[kHostinfoPrettyName], "Debian GNU/Linux 12 (bookworm)");
  EXPECT_STREQ(id->r.fields[kHostinfoDistroName], "Debian");
  EXPECT_STREQ(id->r.fields[kHostinfoDistroVersion], "12");
  EXPECT_STREQ(id->r.fullName, "Linux 6.1.0-18-amd64 Debian GNU/Linux 12 (bookworm)");

  // os-release with four keys beats lsb_release's three items...
  root.Write("/etc/os-release",
             "PRETTY_NAME=\"Fedora Linux 39\"\nNAME=\"Fedora Linux\"\nVERSION_ID=39\n"
             "CPE_NAME=\"cpe:/o:fedoraproject:fedora:39\"\n");
  id = Identify(root, kLinux64);
  EXPECT_STREQ(id->r.shortName, "Fedora-64");
  EXPECT_STREQ(id->r.fields[kHostinfoCpeString], "cpe:/o:fedoraproject:fedora:39");
  // ...and an os-release with fewer keys loses.
  root.Write("/etc/os-release", "NAME=\"Fedora Linux\"\n");
  id = Identify(root, kLinux64);
  EXPECT_STREQ(id->r.shortName, "debian12-64");
}

TEST(Hostinfo, DistributionFilesInOrder) {
  FakeRoot root;
  // No lsb_release: the first readable file of the list decides.
  root.Write("/etc/lsb-release",
             "DISTRIB_ID=Ubuntu\nDISTRIB_RELEASE=20.04\nDISTRIB_CODENAME=focal\n"
             "DISTRIB_DESCRIPTION=\"Ubuntu 20.04.6 LTS\"\n");
  auto id = Identify(root, kLinux64);
  ASSERT_TRUE(id->ok);
  EXPECT_STREQ(id->r.shortName, "ubuntu-64");
  EXPECT_STREQ(id->r.fields[kHostinfoPrettyName], "Ubuntu 20.04.6 LTS");
  EXPECT_STREQ(id->r.fullName, "Linux 6.1.0-18-amd64 Ubuntu 20.04 focal Ubuntu 20.04.6 LTS");

  // A file without keys contributes its whole text, and comes earlier.
  root.Write("/etc/redhat-release", "Red Hat Enterprise Linux Server release 6.10 (Santiago)\n");
  id = Identify(root, Uts("Linux", "2.6.32-754.el6.x86_64", "x86_64"));
  EXPECT_STREQ(id->r.shortName, "rhel6-64");
  EXPECT_STREQ(id->r.fullName,
               "Linux 2.6.32-754.el6.x86_64 Red Hat Enterprise Linux Server release 6.10 "
               "(Santiago)");

  // An lsb_release that prints nothing falls back to the files as well.
  root.Lsb("", "", "");
  id = Identify(root, kLinux64);
  EXPECT_STREQ(id->r.shortName, "rhel6-64");
}

TEST(Hostinfo, NothingKnownGivesGenericNames) {
  FakeRoot root;
  auto id = Identify(root, Uts("Linux", "7.1.0", "x86_64"));
  ASSERT_TRUE(id->ok);
  EXPECT_STREQ(id->r.fullName, "Linux 7.1.0 Other Linux 7.1 kernel");
  EXPECT_STREQ(id->r.shortName, "other5xlinux-64");
  id = Identify(root, Uts("Linux", "2.6.32", "i686"));
  EXPECT_STREQ(id->r.shortName, "other26xlinux");
  EXPECT_STREQ(id->r.fields[kHostinfoBitness], "32");
  id = Identify(root, Uts("Linux", "5.15.0", "aarch64"));
  EXPECT_STREQ(id->r.fullName, "Linux 5.15.0 Other Linux 5.x kernel");
  EXPECT_STREQ(id->r.shortName, "other5xlinux-64");

  // An os-release without any key, or one whose quote never closes, is
  // rejected; /usr/lib/os-release is the second choice.
  root.Write("/etc/os-release", "ID=foo\n");
  root.Write("/usr/lib/os-release", "NAME=\"Bigcloud Enterprise Linux\"\nVERSION_ID=\"8\"");
  id = Identify(root, Uts("Linux", "4.18.0", "x86_64"));
  EXPECT_STREQ(id->r.fields[kHostinfoDistroName], "Bigcloud Enterprise Linux");
  EXPECT_STREQ(id->r.shortName, "other4xlinux-64");  // the table defers to the generic name
  root.Write("/etc/os-release", "NAME=\"Broken\nVERSION_ID=1\n");
  id = Identify(root, Uts("Linux", "4.18.0", "x86_64"));
  EXPECT_STREQ(id->r.fields[kHostinfoDistroName], "Bigcloud Enterprise Linux");
  // An unquoted value on a line longer than the line buffer is refused too.
  root.Write("/etc/os-release", "NAME=" + std::string(2000, 'x') + "\n");
  id = Identify(root, Uts("Linux", "4.18.0", "x86_64"));
  EXPECT_STREQ(id->r.fields[kHostinfoDistroName], "Bigcloud Enterprise Linux");
}

TEST(Hostinfo, DescriptionEscapesQuotesAndBounds) {
  FakeRoot root;
  root.Write("/etc/os-release",
             "PRETTY_NAME=\"Bob's \\Linux\\ 1  \"\nNAME=\"Bob's\"\nVERSION_ID=\"1\"\n");
  auto id = Identify(root, kLinux64);
  ASSERT_TRUE(id->ok);
  EXPECT_NE(strstr(id->r.detailed, "prettyName='Bob\\'s \\\\Linux\\\\ 1'"), nullptr)
      << id->r.detailed;
  EXPECT_NE(strstr(id->r.detailed, "distroName='Bob\\'s'"), nullptr);

  // A field that grows past 1,023 characters by its escapes empties the
  // description but not the identification.
  FakeRoot lsbRoot;
  lsbRoot.Write("/id", std::string(600, '\''));
  lsbRoot.Write("/usr/bin/lsb_release",
                "#!/bin/sh\ncase \"$1\" in\n-sd) echo Quotes;;\n-si) cat '" + lsbRoot.Path() +
                    "/id';;\n-sr) echo 1;;\nesac\n",
                0755);
  id = Identify(lsbRoot, kLinux64);
  ASSERT_TRUE(id->ok);
  EXPECT_STREQ(id->r.detailed, "");

  // A full name past 511 characters fails the identification.
  root.Write("/etc/os-release", "PRETTY_NAME=\"" + std::string(600, 'p') + "\"\n");
  id = Identify(root, kLinux64);
  EXPECT_FALSE(id->ok);
  EXPECT_STREQ(id->r.shortName, "");
}

TEST(Hostinfo, ShortNameTable) {
  struct Case {
    const char *text;
    const char *version;
    const char *expected;
  } cases[] = {
      {"CentOS Linux release 7.9.2009", nullptr, "centos7"},
      {"CentOS release 5.11", nullptr, "centos"},
      {"Debian GNU/Linux 3.1", "3.1", "debian4"},
      {"Red Hat Enterprise Linux 9.2", "9.2", "rhel9"},
      {"Red Hat Enterprise Linux", nullptr, "rhel"},
      {"Red Hat Linux release 9", nullptr, "redhat"},
      {"Oracle Linux Server 8.7", "8.7", "oraclelinux8"},
      {"SUSE Linux Enterprise Server 15 SP4", "15.4", "sles15"},
      {"SUSE Linux Enterprise Desktop 12", nullptr, "sles12"},
      {"openSUSE Leap 15.5", "15.5", "opensuse"},
      {"SuSE Linux 9 Novell", nullptr, "nld9"},
      {"Amazon Linux 2023", "2023", "amazonlinux2023"},
      {"Amazon Linux AMI", nullptr, "amazonlinux2"},
      {"AlmaLinux 9.3", "9.3", "almaLinux"},
      {"Rocky Linux 9.3 (Blue Onyx)", "9.3", "rockyLinux"},
      {"MIRACLE LINUX 8.4", "8.4", "asianux8"},
      {"Yellow Dog Linux", nullptr, "Yellow Dog"},
      {"Plan 9", nullptr, ""},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(HostinfoShortNameFromText(c.text, c.version), c.expected) << c.text;
  }
}

TEST(Hostinfo, KernelVersionsAndOtherSystems) {
  int v[4];
  ASSERT_TRUE(HostinfoParseKernelVersion("6.1.0-18-amd64", v));
  EXPECT_EQ(v[0] * 1000000 + v[1] * 10000 + v[2] * 100 + v[3], 6010018);
  ASSERT_TRUE(HostinfoParseKernelVersion("5.15.90.1-microsoft-standard-WSL2", v));
  EXPECT_EQ(v[3], 1);
  ASSERT_TRUE(HostinfoParseKernelVersion("7.1", v));
  EXPECT_EQ(v[0] * 100 + v[1] * 10 + v[2], 710);
  EXPECT_FALSE(HostinfoParseKernelVersion("linux", v));
  EXPECT_FALSE(HostinfoParseKernelVersion("", v));

  FakeRoot root;
  auto id = Identify(root, Uts("FreeBSD", "13.2-RELEASE", "x86_64"));
  ASSERT_TRUE(id->ok);
  EXPECT_STREQ(id->r.shortName, "freeBSD13-64");
  EXPECT_STREQ(id->r.fullName, "FreeBSD 13.2-RELEASE");
  id = Identify(root, Uts("SunOS", "5.11", "i86pc"));
  EXPECT_STREQ(id->r.shortName, "solaris11");
  id = Identify(root, Uts("Plan9", "4", "x86_64"));
  ASSERT_TRUE(id->ok);
  EXPECT_STREQ(id->r.shortName, "");

  // This host: Linux, and the kernel numbers match its release text.
  char *detailed = Hostinfo_OSDetailedData();
  ASSERT_NE(detailed, nullptr);
  EXPECT_NE(strstr(detailed, "familyName='Linux'"), nullptr);
  free(detailed);
  struct utsname u;
  uname(&u);
  EXPECT_STREQ(Hostinfo_OSVersionString(), u.release);
  EXPECT_EQ(Hostinfo_OSVersion(0), atoi(u.release));
  EXPECT_EQ(Hostinfo_OSVersion(4), 0);
}

}  // namespace

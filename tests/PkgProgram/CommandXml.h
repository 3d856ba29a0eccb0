#pragma once
// Reading commands from XML text and writing them back, for the command tests.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <tinyxml2.h>
#include <unistd.h>

#include "PkgProgram/Command.h"
#include "support/TestSupport.h"

namespace CommandXml {

// Parses one element and lets the command read it.
inline void Read(Command& command, const std::string& xml, bool quiet = false) {
    tinyxml2::XMLDocument doc;
    ASSERT_EQ(doc.Parse(xml.c_str()), tinyxml2::XML_SUCCESS) << xml;
    command.ReadXML(doc.RootElement(), quiet);
}

// What WriteXML puts into a program file.
inline std::string Written(Command& command, int index) {
    char path[] = "/tmp/korvella-command-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) return "";
    close(fd);
    {
        std::ofstream out(path, std::ios::trunc);
        command.WriteXML(&out, index);
    }
    std::string text = TestSupport::ReadFile(path);
    std::remove(path);
    return text;
}

// Writes the command and reads the line back into a fresh command of the same
// class. An opening element (If, Loop) is closed for the parser first.
template <class C>
std::unique_ptr<C> RoundTrip(C& command, int index = 7) {
    const std::string line = Written(command, index);
    EXPECT_FALSE(line.empty());
    EXPECT_EQ(line.back(), '\n') << line;
    EXPECT_EQ(line.find('\n'), line.size() - 1) << "one line: " << line;
    std::string xml = line;
    if (line.find("/>") == std::string::npos) {
        const std::string name = line.substr(1, line.find(' ') - 1);
        xml += "</" + name + ">";
    }
    auto back = std::make_unique<C>();
    back->valid = false;
    tinyxml2::XMLDocument doc;
    EXPECT_EQ(doc.Parse(xml.c_str()), tinyxml2::XML_SUCCESS) << xml;
    if (doc.RootElement() != nullptr) {
        EXPECT_EQ(doc.RootElement()->IntAttribute("Nr", -1), index) << line;
        back->ReadXML(doc.RootElement(), true);
    }
    EXPECT_TRUE(back->valid) << line;
    return back;
}

}  // namespace CommandXml

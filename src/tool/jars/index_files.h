// Readers of the index files that the packer merges when it flattens jars:
// properties files as java.util.Properties splits them, and the logging
// library's plugin cache, and HOCON documents joined into one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace hux::tool {

// The properties of a properties file as raw text: (key, value) pairs with
// escapes as written, split as java.util.Properties splits them (comments
// and blank lines out, continuation lines joined, a later key wins).
std::vector<std::pair<std::string, std::string>> rawProperties(const std::string& text);

// The categories of a plugin cache of the logging library: a big-endian
// count, then each category (a name, a count, and per entry three names and
// two flags; a name is a big-endian 2-byte length and that many bytes).
// `count` is the number of categories and `end` where the last one ends.
// False when the bytes are no such list (its reader fails on them too).
bool log4jPluginCategories(const std::vector<uint8_t>& data, uint32_t& count, size_t& end);

// The text of a HOCON document to be joined with others: without a
// byte-order mark, and without the braces when its root object has them (two
// documents with braced roots do not read as one). False when the root's
// closing brace is not the last thing before trailing comments.
bool hoconRootBody(const std::string& text, std::string& body);

}  // namespace hux::tool

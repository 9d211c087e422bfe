// Writes the seed archives of the keyed unarchiver fuzzer into the folder given as argument.

#include <cstdio>
#include <fstream>
#include <string>

#include "fuzz/fuzz_classes.h"

using namespace platform;
using zorvel::fuzz::FuzzLeaf;
using zorvel::fuzz::FuzzNode;

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <folder>\n", argv[0]);
    return 2;
  }
  std::string folder = argv[1];
  int written = 0;
  auto write = [&](const char* name, const Value& root) {
    Bytes data = KeyedArchiver::archivedData(root);
    std::ofstream out(folder + "/" + name, std::ios::binary);
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    written += out.good() ? 1 : 0;
  };

  write("plain-values", Value::dictionary({{"int", -5},
                                           {"uint", 7u},
                                           {"double", 1.5},
                                           {"string", "héllo"},
                                           {"data", Value(Bytes{1, 2, 3})},
                                           {"date", Value(Date(1000))},
                                           {"null", Value::null()},
                                           {"set", Value::setOf({1, "a"})},
                                           {"$tag", Value::array({true, false})}}));

  auto leaf = make<FuzzLeaf>();
  leaf->number = 3;
  leaf->text = "leaf";
  auto parent = make<FuzzNode>();
  auto child = make<FuzzNode>();
  parent->name = "parent";
  parent->flag = true;
  parent->ratio = 0.25;
  parent->blob = {9, 8, 7};
  parent->payload = Value::array({leaf, leaf, "shared"});
  parent->child = child;
  child->name = "child";
  child->parent = parent;  // conditional, resolved: parent is encoded
  child->payload = leaf;
  write("object-graph", Value(parent));

  auto lonely = make<FuzzNode>();
  lonely->name = "lonely";
  lonely->parent = leaf;  // conditional, unresolved
  write("conditional", Value::array({lonely}));

  auto declining = make<FuzzLeaf>();
  declining->number = -1;
  write("declining", Value(declining));

  write("leaf", Value(leaf));
  std::printf("%d seeds written\n", written);
  return written == 5 ? 0 : 1;
}

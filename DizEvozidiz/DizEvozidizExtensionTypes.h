#pragma once

// Names the extension framework's classes and the registry shapes without pulling in their
// declarations, for the headers of the database and the connection (DizEvozidizExtension.h has
// the classes themselves).

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

class DizEvozidizExtension;
class DizEvozidizExtensionConnection;
class DizEvozidizExtensionTransaction;
class DizMemoryTable;

using DizEvozidizExtensionPtr = std::shared_ptr<DizEvozidizExtension>;
using DizEvozidizExtensionConnectionPtr = std::shared_ptr<DizEvozidizExtensionConnection>;
using DizEvozidizExtensionTransactionPtr = std::shared_ptr<DizEvozidizExtensionTransaction>;

// Registered name -> extension object.
using DizEvozidizExtensionsByName = std::map<std::string, DizEvozidizExtensionPtr, std::less<>>;
// Registered name -> the registered names it depends on.
using DizEvozidizExtensionDependencies = std::map<std::string, std::set<std::string>, std::less<>>;
// Name -> memory table.
using DizMemoryTablesByName = std::map<std::string, std::shared_ptr<DizMemoryTable>, std::less<>>;

// The registries as one commit left them: the extensions, their registration order, their
// dependencies and the memory tables. Never changed once made: a change makes a new one, which
// reaches the database and the other connections through the commit's changeset.
struct DizEvozidizRegistries {
  DizEvozidizExtensionsByName extensions;
  std::vector<std::string> extensionsOrder;
  DizEvozidizExtensionDependencies extensionDependencies;
  DizMemoryTablesByName memoryTables;
};
using DizEvozidizRegistriesPtr = std::shared_ptr<const DizEvozidizRegistries>;

// The broker's message trees: a new message, appending an element, copying
// a tree's children.
#include <vector>

#include "broker/HostState.h"

namespace kvbroker::detail {

CciElementS* appendChild(CciElementS* parent) {
  auto child = std::make_unique<CciElementS>();
  child->parent = parent;
  child->index = parent->children.size();
  parent->children.push_back(std::move(child));
  return parent->children.back().get();
}

namespace {

std::unique_ptr<CciElementS> cloneTree(const CciElementS& source) {
  auto copy = std::make_unique<CciElementS>();
  copy->name = source.name;
  copy->type = source.type;
  copy->value = source.value;
  for (const auto& child : source.children) {
    auto childCopy = cloneTree(*child);
    childCopy->parent = copy.get();
    childCopy->index = copy->children.size();
    copy->children.push_back(std::move(childCopy));
  }
  return copy;
}

}  // namespace

void copyChildren(const CciElementS* source, CciElementS* target) {
  // Copy first, then append: the target may lie inside the source.
  std::vector<std::unique_ptr<CciElementS>> copies;
  for (const auto& child : source->children) copies.push_back(cloneTree(*child));
  for (auto& copy : copies) {
    copy->parent = target;
    copy->index = target->children.size();
    target->children.push_back(std::move(copy));
  }
}

std::unique_ptr<CciMessageS> newMessage(CciMessageContextS* context) {
  auto message = std::make_unique<CciMessageS>();
  message->context = context;
  message->root = std::make_unique<CciElementS>();
  message->root->name = u"Root";
  message->root->type = CCI_ELEMENT_TYPE_NAME;
  return message;
}

}  // namespace kvbroker::detail

// Messages the plug-in made and never deleted go with their context; they stay
// counted as undeleted.
CciMessageContextS::~CciMessageContextS() = default;

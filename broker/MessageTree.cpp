// The broker's message trees: a new message, appending an element, copying
// a tree's children, and taking a tree apart. Every walk keeps its own stack
// of pending elements instead of recursing, so a deeply nested message costs
// heap, never call stack.
#include <utility>
#include <vector>

#include "broker/HostState.h"

CciElementS::~CciElementS() {
  std::vector<std::unique_ptr<CciElementS>> doomed = std::move(children);
  while (!doomed.empty()) {
    std::unique_ptr<CciElementS> element = std::move(doomed.back());
    doomed.pop_back();
    for (auto& child : element->children) doomed.push_back(std::move(child));
    element->children.clear();
    // element goes here, childless.
  }
}

namespace kvbroker::detail {

CciElementS* appendChild(CciElementS* parent) {
  auto child = std::make_unique<CciElementS>();
  child->parent = parent;
  child->index = parent->children.size();
  parent->children.push_back(std::move(child));
  return parent->children.back().get();
}

namespace {

// A detached deep copy of source.
std::unique_ptr<CciElementS> cloneTree(const CciElementS& source) {
  auto copyFields = [](const CciElementS& from, CciElementS* to) {
    to->name = from.name;
    to->type = from.type;
    to->value = from.value;
  };
  auto top = std::make_unique<CciElementS>();
  copyFields(source, top.get());
  // Each pending pair is an original and its copy, whose children are still
  // to be made; children are made in order when their parent's turn comes.
  std::vector<std::pair<const CciElementS*, CciElementS*>> pending{{&source, top.get()}};
  while (!pending.empty()) {
    auto [original, copy] = pending.back();
    pending.pop_back();
    for (const auto& child : original->children) {
      CciElementS* childCopy = appendChild(copy);
      copyFields(*child, childCopy);
      pending.emplace_back(child.get(), childCopy);
    }
  }
  return top;
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

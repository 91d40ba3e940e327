#include "context.hpp"

#include <utility>

namespace zolang {

ExecutionContext::~ExecutionContext() {
  std::vector<std::unique_ptr<ExecutionContext>> pending = std::move(children);
  while (!pending.empty()) {
    std::unique_ptr<ExecutionContext> last = std::move(pending.back());
    pending.pop_back();
    for (auto& child : last->children) pending.push_back(std::move(child));
    last->children.clear();
  }
}

void ExecutionContext::add_dependency(ExecutionContext& parent,
                                      std::unique_ptr<ExecutionContext> child) {
  child->parent = &parent;
  child->branch = static_cast<std::uint32_t>(parent.children.size());
  parent.children.push_back(std::move(child));
}

}  // namespace zolang

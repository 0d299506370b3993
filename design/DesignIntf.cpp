// DesignIntf: component classes, palette registration and component editors.
#include "DesignIntf.h"

#include <cxxabi.h>

#include <algorithm>
#include <cstdlib>
#include <mutex>

namespace garvel::design {

EDesignError::~EDesignError() = default;

TComponentClass::TComponentClass(std::string AClassName, std::type_index AType,
                                 TComponentFactory ACreate, TInstanceCheck AIsInstance)
    : FClassName(std::move(AClassName)), FType(AType), FCreate(std::move(ACreate)),
      FIsInstance(std::move(AIsInstance)) {}

TComponentEditor::TComponentEditor(TComponent* AComponent) : FComponent(AComponent) {}
TComponentEditor::~TComponentEditor() = default;

int TComponentEditor::GetVerbCount() {
  return 0;
}

std::string TComponentEditor::GetVerb(int) {
  return {};
}

void TComponentEditor::ExecuteVerb(int) {}

void TComponentEditor::Edit() {
  if (GetVerbCount() > 0)
    ExecuteVerb(0);
}

namespace {

thread_local int CurrentPackageId = 0;

struct TClassEntry {
  std::string Page;
  TComponentClass Class;
  int Package;
};

struct TEditorEntry {
  TComponentClass Class;
  TComponentEditorClass Create;
  int Package;
};

} // namespace

struct TDesignRegistry::TImpl {
  mutable std::mutex Lock;
  std::vector<std::string> Pages; // in order of first registration
  std::vector<TClassEntry> Classes;
  std::vector<TEditorEntry> Editors; // latest last

  const TClassEntry* Find(const std::string& Name) const {
    for (const auto& c : Classes)
      if (c.Class.ClassName() == Name)
        return &c;
    return nullptr;
  }
  const TClassEntry* Find(std::type_index Type) const {
    for (const auto& c : Classes)
      if (c.Class.Type() == Type)
        return &c;
    return nullptr;
  }
};

TDesignRegistry::TDesignRegistry() : FImpl(std::make_unique<TImpl>()) {}
TDesignRegistry::~TDesignRegistry() = default;

TDesignRegistry& TDesignRegistry::Instance() {
  static TDesignRegistry Registry;
  return Registry;
}

void TDesignRegistry::SetCurrentPackage(int Package) {
  CurrentPackageId = Package;
}

int TDesignRegistry::CurrentPackage() {
  return CurrentPackageId;
}

std::vector<std::string> TDesignRegistry::Pages() const {
  std::lock_guard lock(FImpl->Lock);
  return FImpl->Pages;
}

std::vector<TRegisteredClass> TDesignRegistry::Classes(const std::string& Page) const {
  std::lock_guard lock(FImpl->Lock);
  std::vector<TRegisteredClass> result;
  for (const auto& c : FImpl->Classes)
    if (c.Page == Page)
      result.push_back({c.Page, c.Class.ClassName(), c.Package});
  return result;
}

std::vector<TRegisteredClass> TDesignRegistry::AllClasses() const {
  std::vector<TRegisteredClass> result;
  for (const auto& page : Pages())
    for (auto& c : Classes(page))
      result.push_back(std::move(c));
  return result;
}

bool TDesignRegistry::FindClass(const std::string& ClassName, TRegisteredClass& Found) const {
  std::lock_guard lock(FImpl->Lock);
  const TClassEntry* c = FImpl->Find(ClassName);
  if (!c)
    return false;
  Found = {c->Page, c->Class.ClassName(), c->Package};
  return true;
}

TComponent* TDesignRegistry::CreateComponent(const std::string& ClassName,
                                             TComponent* AOwner) const {
  TComponentFactory create;
  {
    std::lock_guard lock(FImpl->Lock);
    const TClassEntry* c = FImpl->Find(ClassName);
    if (!c)
      throw EDesignError("no component class named '" + ClassName + "' is registered");
    create = [cls = c->Class](TComponent* Owner) { return cls.Create(Owner); };
  }
  // Outside the lock: a constructor may well register or look up classes.
  return create(AOwner);
}

std::unique_ptr<TComponentEditor> TDesignRegistry::CreateEditor(TComponent* AComponent,
                                                                int* Package) const {
  TComponentEditorClass create;
  int package = 0;
  if (AComponent) {
    std::lock_guard lock(FImpl->Lock);
    const std::type_index type(typeid(*AComponent));
    const TEditorEntry* found = nullptr;
    for (auto e = FImpl->Editors.rbegin(); e != FImpl->Editors.rend() && !found; ++e)
      if (e->Class.Type() == type)
        found = &*e;
    for (auto e = FImpl->Editors.rbegin(); e != FImpl->Editors.rend() && !found; ++e)
      if (e->Class.IsInstance(AComponent))
        found = &*e;
    if (found) {
      create = found->Create;
      package = found->Package;
    }
  }
  if (Package)
    *Package = package;
  if (!create)
    return std::make_unique<TComponentEditor>(AComponent);
  return create(AComponent);
}

int TDesignRegistry::PackageOf(const TComponent* AComponent) const {
  if (!AComponent)
    return 0;
  std::lock_guard lock(FImpl->Lock);
  const TClassEntry* c = FImpl->Find(std::type_index(typeid(*AComponent)));
  return c ? c->Package : 0;
}

void TDesignRegistry::RemovePackage(int Package) {
  // The factories are destroyed outside the lock, but before this returns:
  // their code may belong to the package about to be unloaded.
  std::vector<TClassEntry> classes;
  std::vector<TEditorEntry> editors;
  std::lock_guard lock(FImpl->Lock);
  auto& cs = FImpl->Classes;
  for (auto it = cs.begin(); it != cs.end();)
    if (it->Package == Package) {
      classes.push_back(std::move(*it));
      it = cs.erase(it);
    } else {
      ++it;
    }
  auto& es = FImpl->Editors;
  for (auto it = es.begin(); it != es.end();)
    if (it->Package == Package) {
      editors.push_back(std::move(*it));
      it = es.erase(it);
    } else {
      ++it;
    }
  // A page lives as long as one of its classes.
  std::erase_if(FImpl->Pages, [&](const std::string& Page) {
    return std::none_of(cs.begin(), cs.end(), [&](const TClassEntry& c) { return c.Page == Page; });
  });
}

void RegisterComponents(const std::string& Page, const std::vector<TComponentClass>& Classes) {
  if (Page.empty())
    throw EDesignError("a palette page needs a name");
  auto& impl = *TDesignRegistry::Instance().FImpl;
  std::lock_guard lock(impl.Lock);
  for (std::size_t i = 0; i < Classes.size(); ++i) {
    const auto& name = Classes[i].ClassName();
    if (name.empty())
      throw EDesignError("a component class needs a name (page '" + Page + "')");
    if (impl.Find(name))
      throw EDesignError("a class named '" + name + "' is already registered");
    for (std::size_t j = 0; j < i; ++j)
      if (Classes[j].ClassName() == name)
        throw EDesignError("the class '" + name + "' is named twice in one registration");
  }
  for (const auto& c : Classes)
    impl.Classes.push_back({Page, c, CurrentPackageId});
  if (!Classes.empty() && std::find(impl.Pages.begin(), impl.Pages.end(), Page) == impl.Pages.end())
    impl.Pages.push_back(Page);
}

void RegisterComponentEditor(const TComponentClass& ComponentClass, TComponentEditorClass Editor) {
  if (!Editor)
    throw EDesignError("no editor given for '" + ComponentClass.ClassName() + "'");
  auto& impl = *TDesignRegistry::Instance().FImpl;
  std::lock_guard lock(impl.Lock);
  impl.Editors.push_back({ComponentClass, std::move(Editor), CurrentPackageId});
}

std::string ComponentClassName(const TComponent* AComponent) {
  if (!AComponent)
    return {};
  const std::type_index type(typeid(*AComponent));
  {
    auto& impl = *TDesignRegistry::Instance().FImpl;
    std::lock_guard lock(impl.Lock);
    if (const TClassEntry* c = impl.Find(type))
      return c->Class.ClassName();
  }
  int status = 0;
  char* demangled = abi::__cxa_demangle(type.name(), nullptr, nullptr, &status);
  std::string name = status == 0 && demangled ? demangled : type.name();
  std::free(demangled);
  // Drop namespaces (not those inside template arguments).
  const auto angle = name.find('<');
  const auto colon = name.rfind("::", angle);
  if (colon != std::string::npos)
    name.erase(0, colon + 2);
  return name;
}

} // namespace garvel::design

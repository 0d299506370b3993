// PackageHost: loads design-time packages and keeps what they create.
#include "PackageHost.h"

#include <dlfcn.h>
#include <link.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>

namespace garvel::design {

namespace {

struct TPackage {
  int Id;
  std::string FileName;
  void* Handle;
  const TPackageExports* Exports;
};

struct TInstance {
  std::unique_ptr<TComponent> Component;
  int Package;
  std::unique_ptr<TComponentEditor> Editor;
  int EditorPackage = 0;
};

// Registrations on this thread belong to a package for the life of a scope.
class TCurrentPackage {
public:
  explicit TCurrentPackage(int Id) : FSaved(TDesignRegistry::CurrentPackage()) {
    TDesignRegistry::SetCurrentPackage(Id);
  }
  ~TCurrentPackage() { TDesignRegistry::SetCurrentPackage(FSaved); }
  TCurrentPackage(const TCurrentPackage&) = delete;
  TCurrentPackage& operator=(const TCurrentPackage&) = delete;

private:
  int FSaved;
};

std::string Quoted(const std::string& Text) {
  return "'" + Text + "'";
}

// The files of the shared objects loaded in the process.
std::set<std::string> LoadedObjects() {
  std::set<std::string> names;
  dl_iterate_phdr(
      [](dl_phdr_info* Info, std::size_t, void* Data) {
        if (Info->dlpi_name && Info->dlpi_name[0])
          static_cast<std::set<std::string>*>(Data)->insert(Info->dlpi_name);
        return 0;
      },
      &names);
  return names;
}

// Keeps the libraries that loading Package brought in (Before: what was
// loaded until then) for the life of the process. Toolkits such as FLTK
// keep static state that is lost, or worse, when they are unloaded; only
// the package itself comes and goes.
void PinDependencies(const std::set<std::string>& Before, const std::string& Package) {
  for (const auto& name : LoadedObjects())
    if (name != Package && !Before.count(name))
      if (void* handle = dlopen(name.c_str(), RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE))
        dlclose(handle); // the flag stays
}

std::string LastDlError() {
  const char* e = dlerror();
  return e ? e : "unknown error";
}

} // namespace

struct TPackageHost::TImpl {
  std::vector<TPackage> Packages;
  std::vector<TInstance> Instances;
  std::map<std::string, int> Serials;

  TPackage* Find(int Id) {
    for (auto& p : Packages)
      if (p.Id == Id)
        return &p;
    return nullptr;
  }
  const TPackage* Find(int Id) const { return const_cast<TImpl*>(this)->Find(Id); }
  TInstance& Instance(TComponent* C) {
    for (auto& i : Instances)
      if (i.Component.get() == C)
        return i;
    throw EDesignError("the component is not one the design host created");
  }
};

TPackageHost::TPackageHost() : FImpl(std::make_unique<TImpl>()) {}

TPackageHost::~TPackageHost() {
  while (!FImpl->Packages.empty())
    UnloadPackage(FImpl->Packages.back().Id);
  while (!FImpl->Instances.empty()) {
    FImpl->Instances.back().Editor.reset();
    FImpl->Instances.pop_back();
  }
}

int TPackageHost::LoadPackage(const std::string& FileName) {
  static int NextId = 0;
  const std::string what = "cannot load package " + Quoted(FileName) + ": ";
  struct stat st {};
  if (FileName.empty())
    throw EDesignError("cannot load package: no file name given");
  if (stat(FileName.c_str(), &st) != 0)
    throw EDesignError(what + std::strerror(errno));
  if (!S_ISREG(st.st_mode))
    throw EDesignError(what + "not a regular file");
  // The path is made absolute before loading, so that the package finds its
  // own file later whatever the working directory has become.
  std::string path = FileName;
  if (char* real = realpath(FileName.c_str(), nullptr)) {
    path = real;
    std::free(real);
  }
  for (const auto& p : FImpl->Packages)
    if (p.FileName == path)
      throw EDesignError(what + "it is already loaded");

  const auto before = LoadedObjects();
  dlerror();
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle)
    throw EDesignError(what + LastDlError());
  PinDependencies(before, path);
  // The same module under another name (a link).
  for (const auto& p : FImpl->Packages)
    if (p.Handle == handle) {
      dlclose(handle);
      throw EDesignError(what + "it is already loaded as " + Quoted(p.FileName));
    }
  const auto refuse = [&](const std::string& Reason) {
    dlclose(handle);
    throw EDesignError(what + Reason);
  };
  const auto* version =
      static_cast<const std::uint32_t*>(dlsym(handle, GARVEL_DESIGN_VERSION_SYMBOL));
  if (!version)
    refuse("not a design package (it exports no " GARVEL_DESIGN_VERSION_SYMBOL ")");
  if (*version != kDesignHostVersion)
    refuse("built for design host version " + std::to_string(*version) + ", this host is version " +
           std::to_string(kDesignHostVersion));
  const auto* exports =
      static_cast<const TPackageExports*>(dlsym(handle, GARVEL_DESIGN_EXPORTS_SYMBOL));
  if (!exports || !exports->Register)
    refuse("not a design package (it exports no " GARVEL_DESIGN_EXPORTS_SYMBOL
           " with a Register function)");
  if (exports->ImageCount != 0 && !exports->Images)
    refuse("its image table is missing");

  const int id = ++NextId;
  std::string failure;
  try {
    TCurrentPackage current(id);
    exports->Register();
  } catch (const std::exception& e) {
    failure = e.what();
  } catch (...) {
    failure = "an exception that is not a std::exception";
  }
  if (!failure.empty()) {
    TDesignRegistry::Instance().RemovePackage(id);
    refuse("its Register failed: " + failure);
  }
  FImpl->Packages.push_back({id, path, handle, exports});
  return id;
}

void TPackageHost::UnloadPackage(int Id) {
  TPackage* package = FImpl->Find(Id);
  if (!package)
    return;
  auto& instances = FImpl->Instances;
  // Editors first: an editor may refer to its component.
  for (auto& i : instances)
    if (i.EditorPackage == Id || i.Package == Id)
      i.Editor.reset();
  for (auto it = instances.rbegin(); it != instances.rend(); ++it)
    if (it->Package == Id)
      it->Component.reset();
  std::erase_if(instances, [](const TInstance& I) { return !I.Component; });
  TDesignRegistry::Instance().RemovePackage(Id);
  void* handle = package->Handle;
  std::erase_if(FImpl->Packages, [Id](const TPackage& P) { return P.Id == Id; });
  dlclose(handle);
}

std::vector<TPackageInfo> TPackageHost::Packages() const {
  std::vector<TPackageInfo> result;
  for (const auto& p : FImpl->Packages)
    result.push_back(
        {p.Id, p.FileName, p.Exports->Description ? p.Exports->Description : std::string()});
  return result;
}

const TPackageImage* TPackageHost::FindImage(int Id, const std::string& Name, int Size) const {
  const TPackage* p = FImpl->Find(Id);
  if (!p)
    return nullptr;
  const TPackageImage* any = nullptr;
  for (std::size_t i = 0; i < p->Exports->ImageCount; ++i) {
    const TPackageImage& image = p->Exports->Images[i];
    if (!image.Name || !image.Xpm || Name != image.Name)
      continue;
    if (Size == 0 || image.Width == Size)
      return &image;
    if (!any)
      any = &image;
  }
  return Size == 0 ? any : nullptr;
}

const TPackageImage* TPackageHost::PaletteImage(const std::string& ClassName) const {
  TRegisteredClass c;
  if (!TDesignRegistry::Instance().FindClass(ClassName, c) || c.Package == 0)
    return nullptr;
  std::string upper = ClassName;
  std::transform(upper.begin(), upper.end(), upper.begin(),
                 [](unsigned char Ch) { return static_cast<char>(std::toupper(Ch)); });
  return FindImage(c.Package, upper);
}

TComponent* TPackageHost::CreateComponent(const std::string& ClassName) {
  TRegisteredClass c;
  auto& registry = TDesignRegistry::Instance();
  if (!registry.FindClass(ClassName, c))
    throw EDesignError("no component class named " + Quoted(ClassName) + " is registered");
  std::unique_ptr<TComponent> component(registry.CreateComponent(ClassName, nullptr));
  std::string base = ClassName.size() > 1 && ClassName[0] == 'T' ? ClassName.substr(1) : ClassName;
  component->Name = base + std::to_string(++FImpl->Serials[ClassName]);
  TComponent* result = component.get();
  FImpl->Instances.push_back({std::move(component), c.Package, nullptr});
  return result;
}

void TPackageHost::DestroyComponent(TComponent* AComponent) {
  TInstance& i = FImpl->Instance(AComponent);
  i.Editor.reset();
  i.Component.reset();
  std::erase_if(FImpl->Instances, [](const TInstance& I) { return !I.Component; });
}

std::vector<TComponent*> TPackageHost::Components() const {
  std::vector<TComponent*> result;
  for (const auto& i : FImpl->Instances)
    result.push_back(i.Component.get());
  return result;
}

TComponentEditor& TPackageHost::GetEditor(TComponent* AComponent) {
  TInstance& i = FImpl->Instance(AComponent);
  if (!i.Editor)
    i.Editor = TDesignRegistry::Instance().CreateEditor(AComponent, &i.EditorPackage);
  return *i.Editor;
}

} // namespace garvel::design

// PackageHost: loads design-time packages and keeps what they create.
#pragma once

#include "DesignIntf.h"
#include "DesignPackage.h"

#include <memory>
#include <string>
#include <vector>

namespace garvel::design {

/// A loaded package as the host lists it.
struct TPackageInfo {
  int Id = 0;
  /// The absolute path the module was loaded from.
  std::string FileName;
  std::string Description;
};

/// The designer's side of the packages: loads package modules (dlopen) and
/// runs their Register, creates components of registered classes and their
/// editors, and unloads packages again. The host owns every component and
/// editor it creates. Unloading a package first destroys the editors that
/// came from it and the components of its classes (with their editors),
/// then removes its registrations, and only then unloads its code, so that
/// no object or function of a package outlives it. Pointers the host handed
/// out for those objects are invalid afterwards. The libraries a package
/// brings in with it (a toolkit, garv) stay loaded: only the package's own
/// module is unloaded.
///
/// Main thread only (the thread that runs the designer's user interface:
/// editors show windows). The destructor unloads every package.
class TPackageHost {
public:
  TPackageHost();
  ~TPackageHost();
  TPackageHost(const TPackageHost&) = delete;
  TPackageHost& operator=(const TPackageHost&) = delete;

  /// Loads the package in FileName and runs its Register; returns its id.
  /// Throws EDesignError, with nothing left loaded or registered, when the
  /// file is missing or not a regular file, cannot be loaded, is not a
  /// package, was built for another host version, is already loaded, or
  /// when its Register throws.
  int LoadPackage(const std::string& FileName);
  /// Unloads package Id as described above; an unknown id does nothing.
  void UnloadPackage(int Id);
  /// The loaded packages, in loading order.
  std::vector<TPackageInfo> Packages() const;

  /// A picture of package Id by name; with Size, the one of that width
  /// when there is one. nullptr when there is none.
  const TPackageImage* FindImage(int Id, const std::string& Name, int Size = 0) const;
  /// The palette image of a registered class: its package's picture named
  /// after the class in capital letters, or nullptr.
  const TPackageImage* PaletteImage(const std::string& ClassName) const;

  /// A new instance of the registered class ClassName, owned by the host
  /// and named after its class ("xcGarvelUCP1"). Throws EDesignError for an
  /// unknown class; an exception of the constructor passes through.
  TComponent* CreateComponent(const std::string& ClassName);
  /// Destroys AComponent (one the host created) and its editor.
  void DestroyComponent(TComponent* AComponent);
  /// The components the host holds, in creation order.
  std::vector<TComponent*> Components() const;
  /// The editor of AComponent (one the host created), made on first use and
  /// kept until the component or the editor's package goes.
  TComponentEditor& GetEditor(TComponent* AComponent);

private:
  struct TImpl;
  std::unique_ptr<TImpl> FImpl;
};

} // namespace garvel::design

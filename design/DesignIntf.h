// DesignIntf: component classes, palette registration and component editors.
#pragma once

#include "Classes.h"
#include "SysUtils.h"

#include <functional>
#include <memory>
#include <string>
#include <typeindex>
#include <typeinfo>
#include <vector>

namespace garvel::design {

/// A registration or design-host request that cannot be honoured (an empty
/// name, a class registered twice, a package that cannot be loaded).
class EDesignError : public Exception {
public:
  using Exception::Exception;
  ~EDesignError() override;
};

/// Creates a component owned by AOwner (nullptr: owned by the caller).
using TComponentFactory = std::function<TComponent*(TComponent* AOwner)>;

/// Whether a component is of a class or derived from it.
using TInstanceCheck = std::function<bool(const TComponent*)>;

/// A class reference, as the designer sees a component class: its name, its
/// C++ type, how to create an instance and how to recognise one of a
/// derived class. A value type.
class TComponentClass {
public:
  TComponentClass(std::string AClassName, std::type_index AType, TComponentFactory ACreate,
                  TInstanceCheck AIsInstance);

  /// The reference of T (a TComponent with a constructor taking the owner).
  template <class T> static TComponentClass Of(std::string AClassName) {
    return TComponentClass(
        std::move(AClassName), typeid(T),
        [](TComponent* AOwner) -> TComponent* { return new T(AOwner); },
        [](const TComponent* C) { return dynamic_cast<const T*>(C) != nullptr; });
  }

  const std::string& ClassName() const { return FClassName; }
  std::type_index Type() const { return FType; }
  /// A new instance, owned by AOwner when one is given.
  TComponent* Create(TComponent* AOwner) const { return FCreate(AOwner); }
  /// True when AComponent is of this class or of a class derived from it.
  bool IsInstance(const TComponent* AComponent) const {
    return AComponent && (FIsInstance ? FIsInstance(AComponent) : typeid(*AComponent) == FType);
  }

private:
  std::string FClassName;
  std::type_index FType;
  TComponentFactory FCreate;
  TInstanceCheck FIsInstance;
};

/// What the designer offers for one component: menu verbs and the action of
/// a double-click. An editor refers to its component and does not own it;
/// the component outlives it.
class TComponentEditor {
public:
  explicit TComponentEditor(TComponent* AComponent);
  virtual ~TComponentEditor();
  TComponentEditor(const TComponentEditor&) = delete;
  TComponentEditor& operator=(const TComponentEditor&) = delete;

  TComponent* Component() const { return FComponent; }
  /// Number of menu verbs; none by default.
  virtual int GetVerbCount();
  /// Text of verb Index; empty by default.
  virtual std::string GetVerb(int Index);
  /// Runs verb Index; nothing by default.
  virtual void ExecuteVerb(int Index);
  /// The double-click action: the first verb, when there is one.
  virtual void Edit();

private:
  TComponent* FComponent;
};

/// Creates the editor of a component.
using TComponentEditorClass = std::function<std::unique_ptr<TComponentEditor>(TComponent*)>;

template <class E> TComponentEditorClass EditorClassOf() {
  return [](TComponent* AComponent) -> std::unique_ptr<TComponentEditor> {
    return std::make_unique<E>(AComponent);
  };
}

/// Puts Classes, in their order, on the palette page Page (created when
/// new). Throws EDesignError for an empty page or class name and for a class
/// name that is already registered; nothing is registered then.
/// Registrations made while a package's Register runs belong to that
/// package and are removed when it is unloaded.
void RegisterComponents(const std::string& Page, const std::vector<TComponentClass>& Classes);

/// Makes Editor the editor of components of the class ComponentClass and of
/// classes derived from it that have no editor of their own. The latest
/// registration wins; removing it (its package unloaded) brings back the
/// one before.
void RegisterComponentEditor(const TComponentClass& ComponentClass, TComponentEditorClass Editor);

/// A registered class as the palette shows it.
struct TRegisteredClass {
  std::string Page;
  std::string ClassName;
  /// The package that registered it; 0 for the program itself.
  int Package = 0;
};

/// The one registry of the process, which the registration functions fill
/// and the host reads. Every member may be called from any thread; the
/// registry is guarded by its own lock.
class TDesignRegistry {
public:
  static TDesignRegistry& Instance();
  ~TDesignRegistry();
  TDesignRegistry(const TDesignRegistry&) = delete;
  TDesignRegistry& operator=(const TDesignRegistry&) = delete;

  /// Page names in order of first registration.
  std::vector<std::string> Pages() const;
  /// The classes of Page in order of registration.
  std::vector<TRegisteredClass> Classes(const std::string& Page) const;
  /// Every registered class, page by page.
  std::vector<TRegisteredClass> AllClasses() const;
  /// The class registered under ClassName; false when there is none.
  bool FindClass(const std::string& ClassName, TRegisteredClass& Found) const;
  /// A new instance of the class registered under ClassName, owned by
  /// AOwner; throws EDesignError for an unknown name.
  TComponent* CreateComponent(const std::string& ClassName, TComponent* AOwner) const;
  /// The editor registered for the class of AComponent, else the latest one
  /// registered for a class it derives from, else a default editor without
  /// verbs. Package, when given, receives the package of
  /// the editor class (0 for the default one).
  std::unique_ptr<TComponentEditor> CreateEditor(TComponent* AComponent,
                                                 int* Package = nullptr) const;
  /// The package that registered the class of AComponent; 0 when none did.
  int PackageOf(const TComponent* AComponent) const;
  /// Removes every class and editor that Package registered.
  void RemovePackage(int Package);

  /// Registrations made on this thread from now on belong to Package (0:
  /// the program). The design host sets it around a package's Register.
  static void SetCurrentPackage(int Package);
  static int CurrentPackage();

private:
  friend void RegisterComponents(const std::string&, const std::vector<TComponentClass>&);
  friend void RegisterComponentEditor(const TComponentClass&, TComponentEditorClass);
  friend std::string ComponentClassName(const TComponent*);
  TDesignRegistry();
  struct TImpl;
  std::unique_ptr<TImpl> FImpl;
};

/// The class name of AComponent: the name its class was registered under,
/// else the unqualified C++ name of its type; empty for nullptr.
std::string ComponentClassName(const TComponent* AComponent);

} // namespace garvel::design

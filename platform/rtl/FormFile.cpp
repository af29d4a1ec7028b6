#include "platform/rtl/FormFile.h"

#include <fstream>
#include <limits>
#include <memory>
#include <sstream>
#include <type_traits>
#include <vector>

#include "platform/rtl/ClassRegistry.h"
#include "platform/rtl/Collection.h"
#include "platform/rtl/FormFileDetail.h"

namespace zelk::rtl {

namespace {

using nlohmann::json;

bool IsStored(const TPropertyInfo& P, const json& Value) {
  return !P.Default.has_value() || *P.Default != Value;
}

// ---------------------------------------------------------------------------------------------
// Writing

// ---------------------------------------------------------------------------------------------
// Reading

struct TPendingReference {
  TObject* Object;
  TPropertyInfo Property;
  std::string Target;
  std::string Where;
};

class TFormReader {
 public:
  TFormReader(TComponent* Root, std::string Source) : FRoot(Root), FSource(std::move(Source)) {}

  // Reads a session's state instead of a form file: properties in their declaration order,
  // component references, events and the properties kept out of state refused. CheckOnly:
  // every check but the setters' runs and nothing is changed.
  void ForState(bool CheckOnly) {
    FForState = true;
    FCheckOnly = CheckOnly;
  }

  void ReadValues(TObject* Object, const std::string& Class,
                  const std::vector<TPropertyInfo>& Known, const json& Props,
                  const std::string& Where) {
    if (!Props.is_object()) Fail(Where, "properties must be an object");
    auto Find = [&Known](const std::string& Name) -> const TPropertyInfo* {
      for (const auto& K : Known)
        if (K.Name == Name) return &K;
      return nullptr;
    };
    if (!FForState) {
      for (const auto& [Name, Value] : Props.items()) {
        const std::string At = std::string(Where).append(".").append(Name);
        const TPropertyInfo* P = Find(Name);
        if (P == nullptr) Fail(At, "unknown property of " + Class);
        ReadProperty(Object, *P, Value, At);
      }
      return;
    }
    for (const auto& [Name, Value] : Props.items())
      if (Find(Name) == nullptr)
        Fail(std::string(Where).append(".").append(Name), "unknown property of " + Class);
    for (const auto& P : Known)
      if (const auto It = Props.find(P.Name); It != Props.end())
        ReadProperty(Object, P, *It, std::string(Where).append(".").append(P.Name));
  }

  json Parse(std::string_view Text) const {
    try {
      return json::parse(Text);
    } catch (const json::parse_error& E) {
      throw EFormError(FSource + ":" + Position(Text, E.byte) + ": invalid JSON: " + Reason(E));
    } catch (const json::exception& E) {
      // A number too large for any JSON number type, and the like.
      throw EFormError(FSource + ": invalid JSON: " + Reason(E));
    }
  }

  void Read(const json& Doc) {
    if (!Doc.is_object()) Fail("", "a form file is a JSON object");
    for (const auto& [Key, V] : Doc.items())
      if (Key != "components") Fail(Key, "unknown member (expected \"components\")");
    static const json NoComponents = json::array();
    const auto Found = Doc.find("components");
    const json& Components = Found == Doc.end() ? NoComponents : *Found;
    if (!Components.is_array()) Fail("components", "expected a list of components");

    const bool WasLoading = FRoot->ComponentState().Contains(csLoading);
    const bool WasReading = FRoot->ComponentState().Contains(csReading);
    FRoot->Loading();
    FRoot->SetReading(true);
    std::vector<TComponent*> Created;
    auto Restore = [&] {
      if (!WasLoading) FRoot->Loaded();
      FRoot->SetReading(WasReading);
    };
    try {
      for (std::size_t I = 0; I < Components.size(); ++I)
        Created.push_back(ReadComponent(Components[I], "components[" + std::to_string(I) + "]"));
      for (const auto& R : FReferences)
        Resolve(R);
      for (TComponent* C : Created) {
        C->SetReading(false);
        C->Loaded();
      }
    } catch (...) {
      for (auto It = Created.rbegin(); It != Created.rend(); ++It)
        delete *It;
      Restore();
      throw;
    }
    Restore();
  }

 private:
  [[noreturn]] void Fail(const std::string& Where, const std::string& What) const {
    throw EFormError(FSource + ": " + (Where.empty() ? "" : Where + ": ") + What);
  }

  static std::string Reason(const json::exception& E) {
    std::string W = E.what();
    const auto P = W.find("parse error");
    return P == std::string::npos ? W : W.substr(P);
  }

  static std::string Position(std::string_view Text, std::size_t Byte) {
    std::size_t Line = 1;
    std::size_t Column = 1;
    for (std::size_t I = 0; I + 1 < Byte && I < Text.size(); ++I) {
      if (Text[I] == '\n') {
        ++Line;
        Column = 1;
      } else {
        ++Column;
      }
    }
    return std::to_string(Line) + ":" + std::to_string(Column);
  }

  TComponent* ReadComponent(const json& J, const std::string& Where) {
    if (!J.is_object()) Fail(Where, "expected an object with \"class\", \"name\", \"properties\"");
    for (const auto& [Key, V] : J.items())
      if (Key != "class" && Key != "name" && Key != "properties")
        Fail(std::string(Where).append(".").append(Key), "unknown member");
    if (!J.contains("class") || !J["class"].is_string()) Fail(Where, "\"class\" must be a text");
    const std::string& Class = J["class"].get_ref<const std::string&>();
    const auto Info = TClassRegistry::ClassInfo(Class);
    if (!Info || !Info->Create) Fail(Where, "unknown component class \"" + Class + "\"");
    std::unique_ptr<TComponent> C(Info->Create(FRoot));
    C->Loading();
    C->SetReading(true);
    if (J.contains("name")) {
      if (!J["name"].is_string()) Fail(Where + ".name", "expected a text");
      try {
        C->SetName(J["name"].get<std::string>());
      } catch (const Exception& E) {
        Fail(Where + ".name", E.Message());
      }
    }
    const std::string Label = Where + (C->Name().empty() ? "" : " (" + C->Name() + ")");
    if (J.contains("properties")) ReadProperties(C.get(), Class, J["properties"], Label);
    return C.release();
  }

  void ReadProperties(TObject* Object, const std::string& Class, const json& Props,
                      const std::string& Where) {
    ReadValues(Object, Class, *TClassRegistry::PublishedPropertiesOf(Class), Props, Where);
  }

  // Object is null only while checking the items of a collection, which do not exist yet.
  void ReadProperty(TObject* Object, const TPropertyInfo& P, const json& V, const std::string& At) {
    using enum TPropertyKind;
    if (FForState && P.KeptOutOfState) Fail(At, "is never part of a session's state");
    switch (P.Kind) {
      case pkObject: {
        TPersistent* Sub = Object != nullptr && P.Object ? P.Object(Object) : nullptr;
        if (Sub == nullptr && Object != nullptr) Fail(At, "has no object to load into");
        ReadProperties(Sub, P.ClassName, V, At);
        return;
      }
      case pkCollection:
        ReadCollection(Object, P, V, At);
        return;
      case pkComponent:
        ReadReference(Object, P, V, At);
        return;
      case pkEvent:
        Fail(At, FForState ? "events are code and are not part of a session's state"
                           : "events are code and cannot be loaded from a form file");
      default:
        CheckValue(P, V, At);
    }
    if (!P.Set) Fail(At, "is read-only");
    if (FCheckOnly || Object == nullptr) return;
    try {
      P.Set(Object, V);
    } catch (const Exception& E) {
      Fail(At, E.Message());
    }
  }

  // A value of a plain kind (text, number, truth value, enumeration, set) has the JSON form of
  // its kind.
  void CheckValue(const TPropertyInfo& P, const json& V, const std::string& At) {
    using enum TPropertyKind;
    switch (P.Kind) {
      case pkString:
        if (!V.is_string()) Fail(At, "expected a text");
        break;
      case pkInteger:
        if (!V.is_number_integer() ||
            V.get<long long>() < std::numeric_limits<std::int32_t>::min() ||
            V.get<long long>() > std::numeric_limits<std::int32_t>::max())
          Fail(At, "expected a 32-bit whole number");
        break;
      case pkFloat:
        if (!V.is_number()) Fail(At, "expected a number");
        break;
      case pkBoolean:
        if (!V.is_boolean()) Fail(At, "expected true or false");
        break;
      case pkEnumeration:
        if (!V.is_string() || !IsEnumName(P, V.get<std::string>()))
          Fail(At, "expected one of " + EnumList(P));
        break;
      case pkSet:
        if (!V.is_array()) Fail(At, "expected a list of " + EnumList(P));
        for (const auto& E : V)
          if (!E.is_string() || !IsEnumName(P, E.get<std::string>()))
            Fail(At, "expected a list of " + EnumList(P));
        break;
      default:
        break;
    }
  }

  // The items replace the collection's, all in one update; with no collection at hand (checking
  // only) each item is checked against the item class.
  void ReadCollection(TObject* Object, const TPropertyInfo& P, const json& V,
                      const std::string& At) {
    auto* C =
        dynamic_cast<TCollection*>(Object != nullptr && P.Object ? P.Object(Object) : nullptr);
    if (C == nullptr && Object != nullptr) Fail(At, "has no collection to load into");
    if (!V.is_array()) Fail(At, "expected a list of items");
    if (FCheckOnly || C == nullptr) {
      for (std::size_t I = 0; I < V.size(); ++I)
        ReadProperties(nullptr, P.ClassName, V[I], At + "[" + std::to_string(I) + "]");
      return;
    }
    C->BeginUpdate();
    try {
      C->Clear();
      for (std::size_t I = 0; I < V.size(); ++I)
        ReadProperties(C->Add(), P.ClassName, V[I], At + "[" + std::to_string(I) + "]");
    } catch (...) {
      C->EndUpdate();
      throw;
    }
    C->EndUpdate();
  }

  // A component reference names its target, which is resolved once every component is loaded.
  void ReadReference(TObject* Object, const TPropertyInfo& P, const json& V,
                     const std::string& At) {
    if (FForState)
      Fail(At,
           "component references are not part of a session's state (the application wires "
           "them when it makes the session)");
    if (V.is_null()) return;
    if (!V.is_string()) Fail(At, "expected the name of a component");
    FReferences.push_back({Object, P, V.get<std::string>(), At});
  }

  void Resolve(const TPendingReference& R) {
    TComponent* Target = FRoot->FindComponent(R.Target);
    if (Target == nullptr) Fail(R.Where, "no component named \"" + R.Target + "\"");
    if (!R.Property.SetComponent) Fail(R.Where, "is read-only");
    try {
      R.Property.SetComponent(R.Object, Target);
    } catch (const Exception& E) {
      Fail(R.Where, E.Message());
    }
  }

  static bool IsEnumName(const TPropertyInfo& P, const std::string& S) {
    for (const auto& N : P.EnumNames)
      if (N == S) return true;
    return false;
  }
  static std::string EnumList(const TPropertyInfo& P) {
    std::string R;
    for (const auto& N : P.EnumNames)
      R += (R.empty() ? "" : ", ") + N;
    return R;
  }

  TComponent* FRoot;
  std::string FSource;
  std::vector<TPendingReference> FReferences;
  bool FForState = false;
  bool FCheckOnly = false;
};

}  // namespace

namespace {

// The writer works on either JSON flavour: json (members sorted, for programs) or ordered_json
// (members in declaration order, for the text people read).
template <typename J>
J ToJ(const json& V) {
  if constexpr (std::is_same_v<J, json>)
    return V;
  else
    return J::parse(V.dump());
}

// Properties' stored values of Object. ForState: as a session's state keeps them, without
// component references and the properties kept out of state.
template <typename J>
J WriteValuesAs(TObject* Object, const std::vector<TPropertyInfo>& Properties, bool ForState) {
  J Out = J::object();
  for (const auto& P : Properties) {
    using enum TPropertyKind;
    if (ForState && P.KeptOutOfState) continue;
    switch (P.Kind) {
      case pkEvent:
        break;
      case pkObject: {
        TPersistent* Sub = P.Object ? P.Object(Object) : nullptr;
        if (Sub == nullptr) break;
        J Nested =
            WriteValuesAs<J>(Sub, *TClassRegistry::PublishedPropertiesOf(P.ClassName), ForState);
        if (!Nested.empty()) Out[P.Name] = std::move(Nested);
        break;
      }
      case pkCollection: {
        auto* C = dynamic_cast<TCollection*>(P.Object ? P.Object(Object) : nullptr);
        if (C == nullptr || C->Count() == 0) break;
        const auto ItemProperties = TClassRegistry::PublishedPropertiesOf(P.ClassName);
        J Items = J::array();
        for (int I = 0; I < C->Count(); ++I)
          Items.push_back(WriteValuesAs<J>(C->GetItem(I), *ItemProperties, ForState));
        Out[P.Name] = std::move(Items);
        break;
      }
      case pkComponent: {
        if (ForState) break;
        TComponent* Target = P.GetComponent ? P.GetComponent(Object) : nullptr;
        if (Target != nullptr && !Target->Name().empty()) Out[P.Name] = Target->Name();
        break;
      }
      default: {
        if (!P.Get) break;
        json V = P.Get(Object);
        if (IsStored(P, V)) Out[P.Name] = ToJ<J>(V);
      }
    }
  }
  return Out;
}

template <typename J>
J WritePropertiesAs(TObject* Object, const std::string& ClassName) {
  return WriteValuesAs<J>(Object, *TClassRegistry::PublishedPropertiesOf(ClassName), false);
}

template <typename J>
J WriteFormAs(TComponent* Root) {
  J Components = J::array();
  for (int I = 0; I < Root->ComponentCount(); ++I) {
    TComponent* C = Root->Components(I);
    if (!TClassRegistry::FindClass(C->ClassName())) continue;
    J Entry = J::object();
    Entry["class"] = C->ClassName();
    if (!C->Name().empty()) Entry["name"] = C->Name();
    Entry["properties"] = WritePropertiesAs<J>(C, C->ClassName());
    Components.push_back(std::move(Entry));
  }
  J Doc = J::object();
  Doc["components"] = std::move(Components);
  return Doc;
}

}  // namespace

json WriteProperties(TObject* Object, const std::string& ClassName) {
  return WritePropertiesAs<json>(Object, ClassName);
}

json WriteFormJSON(TComponent* Root) {
  return WriteFormAs<json>(Root);
}

std::string WriteForm(TComponent* Root) {
  return WriteFormAs<nlohmann::ordered_json>(Root).dump(2) + "\n";
}

void ReadForm(TComponent* Root, std::string_view Text, const std::string& SourceName) {
  TFormReader Reader(Root, SourceName);
  Reader.Read(Reader.Parse(Text));
}

nlohmann::json ParseForm(std::string_view Text, const std::string& SourceName) {
  return TFormReader(nullptr, SourceName).Parse(Text);
}

void ReadFormJSON(TComponent* Root, const nlohmann::json& Form, const std::string& SourceName) {
  TFormReader(Root, SourceName).Read(Form);
}

namespace detail {

json WriteStateValues(TObject* Object, const std::vector<TPropertyInfo>& Properties) {
  return WriteValuesAs<json>(Object, Properties, true);
}

void ReadStateValues(TObject* Object, const std::string& ClassName,
                     const std::vector<TPropertyInfo>& Properties, const json& Values,
                     const std::string& Source, const std::string& Where, bool CheckOnly) {
  TFormReader Reader(nullptr, Source);
  Reader.ForState(CheckOnly);
  Reader.ReadValues(Object, ClassName, Properties, Values, Where);
}

}  // namespace detail

void ReadFormFile(TComponent* Root, const std::string& Path) {
  std::ifstream In(Path, std::ios::binary);
  if (!In) throw EFormError(Path + ": cannot open the form file");
  std::ostringstream S;
  S << In.rdbuf();
  ReadForm(Root, S.str(), Path);
}

}  // namespace zelk::rtl

#include "imaging/picture_registry.h"

#include <algorithm>
#include <cctype>

namespace qv {

namespace {
std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return s;
}
std::string Extension(const std::string& path) {
    const auto slash = path.find_last_of('/');
    const auto dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
    return path.substr(dot + 1);
}
}  // namespace

void PictureRegistry::RegisterFileFormat(const std::string& extension,
                                         const std::string& description,
                                         const std::string& className, GraphicFactory factory) {
    std::string ext = extension;
    if (!ext.empty() && ext.front() == '.') ext.erase(0, 1);
    // A later registration of the same extension takes its place.
    std::erase_if(fileFormats_,
                  [&](const FileFormat& f) { return Lower(f.Extension) == Lower(ext); });
    fileFormats_.push_back({ext, description, className, std::move(factory)});
}

void PictureRegistry::RegisterClipboardFormat(const std::string& name, const std::string& className,
                                              GraphicFactory factory) {
    std::erase_if(clipboardFormats_, [&](const ClipboardFormat& f) { return f.Name == name; });
    clipboardFormats_.push_back({name, className, std::move(factory)});
}

void PictureRegistry::UnregisterGraphicClass(const std::string& className) {
    std::erase_if(fileFormats_, [&](const FileFormat& f) { return f.ClassName == className; });
    std::erase_if(clipboardFormats_,
                  [&](const ClipboardFormat& f) { return f.ClassName == className; });
}

const FileFormat* PictureRegistry::FindExtension(const std::string& extension) const {
    std::string ext = extension;
    if (!ext.empty() && ext.front() == '.') ext.erase(0, 1);
    ext = Lower(ext);
    for (const FileFormat& f : fileFormats_)
        if (Lower(f.Extension) == ext) return &f;
    return nullptr;
}

std::string PictureRegistry::FileFilter() const {
    std::string all, each;
    for (const FileFormat& f : fileFormats_) {
        const std::string mask = "*." + Lower(f.Extension);
        all += (all.empty() ? "" : ";") + mask;
        each += "|" + f.Description + " (" + mask + ")|" + mask;
    }
    if (fileFormats_.empty()) return "";
    return "All (" + all + ")|" + all + each;
}

std::unique_ptr<Graphic> PictureRegistry::LoadFromFile(const std::string& path) const {
    const std::string ext = Extension(path);
    const FileFormat* format = FindExtension(ext);
    if (format == nullptr) throw EInvalidGraphic("Unknown picture file extension (." + ext + ")");
    std::unique_ptr<Graphic> graphic = format->Factory();
    graphic->LoadFromFile(path);
    return graphic;
}

std::unique_ptr<Graphic> PictureRegistry::LoadFromClipboard(const ClipboardData& data) const {
    for (const ClipboardFormat& f : clipboardFormats_) {
        if (data.Formats.count(f.Name) == 0) continue;
        std::unique_ptr<Graphic> graphic = f.Factory();
        graphic->LoadFromClipboardFormat(data);
        return graphic;
    }
    return nullptr;
}

void PictureRegistry::Clear() {
    fileFormats_.clear();
    clipboardFormats_.clear();
}

PictureRegistry& Pictures() {
    static PictureRegistry registry;
    return registry;
}

}  // namespace qv

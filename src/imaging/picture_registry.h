#pragma once
// Picture formats known to the program: each codec registers its file extension (matched
// without regard to case), description and factory, and the clipboard formats it reads.
// The program fills the registry at start-up by calling each codec's registration
// function; nothing registers itself from a static initialiser.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "imaging/graphic.h"

namespace qv {

using GraphicFactory = std::function<std::unique_ptr<Graphic>()>;

struct FileFormat {
    std::string Extension;  // without the dot, as registered
    std::string Description;
    std::string ClassName;
    GraphicFactory Factory;
};

struct ClipboardFormat {
    std::string Name;
    std::string ClassName;
    GraphicFactory Factory;
};

class PictureRegistry {
  public:
    void RegisterFileFormat(const std::string& extension, const std::string& description,
                            const std::string& className, GraphicFactory factory);
    void RegisterClipboardFormat(const std::string& name, const std::string& className,
                                 GraphicFactory factory);
    // Drops every file and clipboard format of a class (shutdown).
    void UnregisterGraphicClass(const std::string& className);

    // The format of an extension (with or without the leading dot), nullptr when unknown.
    const FileFormat* FindExtension(const std::string& extension) const;
    const std::vector<FileFormat>& FileFormats() const { return fileFormats_; }
    const std::vector<ClipboardFormat>& ClipboardFormats() const { return clipboardFormats_; }
    // A filter text for file dialogs: "All (*.gif;*.png)|*.gif;*.png|<desc> (*.gif)|*.gif|..."
    std::string FileFilter() const;

    // Loads a picture of the type its extension names; unknown extensions raise
    // EInvalidGraphic "Unknown picture file extension (.<ext>)".
    std::unique_ptr<Graphic> LoadFromFile(const std::string& path) const;
    // The first registered clipboard format present in data, as a loaded picture; nullptr
    // when none is present.
    std::unique_ptr<Graphic> LoadFromClipboard(const ClipboardData& data) const;

    void Clear();

  private:
    std::vector<FileFormat> fileFormats_;
    std::vector<ClipboardFormat> clipboardFormats_;
};

// The program's registry (created on first use, filled by the registration functions).
PictureRegistry& Pictures();

}  // namespace qv

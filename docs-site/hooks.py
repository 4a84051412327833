"""The manual's pages that live outside docs/: the README (the tour, with the
two commands) and the simulated module's reference, sim/README.md, kept beside
the simulator's code. Each is read from where it lives as a page of its own
name, and the links between the pages, written to be right where the Markdown
is read (the source tree, the installed docs), are turned into links between
the HTML pages: ../README.md from docs/ leads to start.md, docs/tool.md from
the README to tool.md. And a page of docs/ that the nav leaves out fails a
strict build."""
import logging
import os
import posixpath
import re

from mkdocs.structure.files import File

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir))
# Where a page lives in the source tree, and its name in the manual.
OUTSIDE = {"README.md": "start.md", "sim/README.md": "simulator-reference.md"}
PAGE_OF = {page: path for path, page in OUTSIDE.items()}
log = logging.getLogger("mkdocs.hooks.kelvor")
LINK = re.compile(r"(\]\()([^)\s#]+)(#[^)\s]*)?(\))")


def on_files(files, config):
    for path, page in OUTSIDE.items():
        f = File(page, config["docs_dir"], config["site_dir"], config["use_directory_urls"])
        f.abs_src_path = os.path.join(ROOT, path)
        files.append(f)
    return files


def on_nav(nav, config, files):
    # A page that the nav does not list is read by no one: a warning, which
    # --strict makes a failure (mkdocs itself only mentions it).
    listed = {page.file.src_uri for page in nav.pages}
    for f in files.documentation_pages():
        if f.src_uri not in listed:
            log.warning("The page %s is not in the nav of mkdocs.yml", f.src_uri)
    return nav


def on_page_markdown(markdown, page, config, files):
    # The page's folder in the source tree, from the root.
    here = posixpath.dirname(PAGE_OF.get(page.file.src_uri, "docs/" + page.file.src_uri))

    def relink(m):
        target = m.group(2)
        if "://" in target or target.startswith(("/", "mailto:")):
            return m.group(0)
        path = posixpath.normpath(posixpath.join(here, target))
        if path in OUTSIDE:
            path = OUTSIDE[path]
        elif path.startswith("docs/"):
            path = path[len("docs/"):]
        else:
            return m.group(0)  # left for mkdocs to find missing
        return m.group(1) + path + (m.group(3) or "") + m.group(4)

    return LINK.sub(relink, markdown)

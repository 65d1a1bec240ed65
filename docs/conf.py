"""Sphinx configuration of the lumora documentation site (make docs)."""

import sys
import zlib
from importlib.metadata import version as installed_version
from pathlib import Path

HERE = Path(__file__).parent
sys.path.insert(0, str(HERE / "_ext"))

project = "lumora"
author = "the lumora developers"
copyright = "the lumora developers"
# The version of the lumora the pages were built against.
release = version = installed_version("lumora")
extensions = ["reference", "figures", "sphinx.ext.intersphinx", "sphinx_copybutton"]
exclude_patterns = ["_build", "inventories"]
templates_path = ["_templates"]
# Examples are interpreter sessions; their output is checked by the tests.
highlight_language = "pycon"
# Types are shown as the reader writes them (Vec3d, not lumora.Vec3d).
python_use_unqualified_type_names = True
add_module_names = False
html_theme = "alabaster"
html_title = f"lumora {release}"
html_theme_options = {
    "description": "3-D vector math for free-threaded Python, exact to the bit",
    "fixed_sidebar": True,
    "page_width": "1200px",
    "sidebar_width": "240px",
    "show_relbar_bottom": True,
    "show_related": True,
}
html_sidebars = {"**": ["about.html", "version.html", "navigation.html", "relations.html", "searchbox.html"]}
html_show_sourcelink = False
html_static_path = ["_static"]
html_css_files = ["lumora.css"]

# The copy button takes the code of an example, without prompts or output.
copybutton_prompt_text = r">>> |\.\.\. |\$ "
copybutton_prompt_is_regexp = True
copybutton_only_copy_prompt_lines = True


def inventory(name):
    """objects.inv of docs/inventories/NAME.txt, written beside the build: the
    linked sites' names come from the repository, never from the network."""
    lines = [line for line in (HERE / "inventories" / f"{name}.txt").read_text().splitlines()
             if line and not line.startswith("#")]  # fmt: skip
    out = HERE / "_build" / "inventories" / f"{name}.inv"
    out.parent.mkdir(parents=True, exist_ok=True)
    head = f"# Sphinx inventory version 2\n# Project: {name}\n# Version: \n"
    head += "# The remainder of this file is compressed using zlib.\n"
    out.write_bytes(head.encode() + zlib.compress("\n".join(lines).encode() + b"\n"))
    return str(out)


intersphinx_mapping = {
    "python": ("https://docs.python.org/3/", inventory("python")),
    "numpy": ("https://numpy.org/doc/stable/", inventory("numpy")),
    "scipy": ("https://docs.scipy.org/doc/scipy/", inventory("scipy")),
}
# Every cross-reference must resolve (make docs builds with -n).
nitpicky = True

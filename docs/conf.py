"""Sphinx configuration of the lumora documentation site (make docs)."""

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent / "_ext"))

project = "lumora"
author = "the lumora developers"
copyright = "the lumora developers"
extensions = ["reference"]
exclude_patterns = ["_build"]
# Examples are interpreter sessions; their output is checked by the tests.
highlight_language = "pycon"
# Types are shown as the reader writes them (Vec3d, not lumora.Vec3d).
python_use_unqualified_type_names = True
add_module_names = False
html_theme = "alabaster"
html_title = "lumora"
html_theme_options = {
    "description": "3-D vector math for free-threaded Python, exact to the bit",
    "fixed_sidebar": True,
    "page_width": "1200px",
    "sidebar_width": "240px",
}
html_sidebars = {"**": ["about.html", "navigation.html", "searchbox.html"]}
html_show_sourcelink = False
html_static_path = ["_static"]
html_css_files = ["lumora.css"]

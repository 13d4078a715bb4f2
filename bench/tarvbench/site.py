"""The local site nginx serves to the bench, made afresh in a temporary
folder on each run: the same bytes every time."""
import os

PAGE_BYTES = 2048
CRAWL_PAGES = 1000
RENDER_PAGES = 100
RENDER_ITEMS = 200

PAGE = "page2k.html"


def _crawl_page(n):
    targets = [(n * 7 + k) % CRAWL_PAGES for k in range(1, 21)]
    links = "".join('<li><a href="p%04d.html">page %d</a></li>\n' % (t, t) for t in targets)
    paragraphs = "".join("<p>Paragraph %d of page %d: %s</p>\n" % (k, n, "lorem ipsum dolor sit amet " * 4)
                         for k in range(8))
    return ("<!doctype html>\n<html><head><meta charset=\"utf-8\"><title>Crawl page %d</title></head>\n"
            "<body><h1>Crawl page %d</h1>\n%s<ul>\n%s</ul></body></html>\n" % (n, n, paragraphs, links))


RENDER_SCRIPT = """function build(n) {
  var list = document.getElementById("items");
  for (var i = 0; i < %d; i++) {
    var item = document.createElement("li");
    item.textContent = "item " + n + "-" + i;
    item.className = i %% 2 ? "odd" : "even";
    list.appendChild(item);
  }
  document.getElementById("state").textContent = "rendered";
  document.title = "Rendered page " + n;
}
""" % RENDER_ITEMS


def _render_page(n):
    return ("<!doctype html>\n<html><head><meta charset=\"utf-8\"><title>Page %d</title>\n"
            "<style>.odd{color:#345}.even{color:#543}</style>\n"
            "<script src=\"app.js\"></script></head>\n"
            "<body><h1>Render page %d</h1><p id=\"state\">static</p><ul id=\"items\"></ul>\n"
            "<script>build(%d);</script></body></html>\n" % (n, n, n))


def make(root):
    """Writes the site under `root`; returns the paths (relative to it)."""
    os.makedirs(os.path.join(root, "crawl"), exist_ok=True)
    os.makedirs(os.path.join(root, "render"), exist_ok=True)
    with open(os.path.join(root, PAGE), "w") as out:
        out.write("x" * PAGE_BYTES)
    crawl = []
    for n in range(CRAWL_PAGES):
        path = "crawl/p%04d.html" % n
        with open(os.path.join(root, path), "w") as out:
            out.write(_crawl_page(n))
        crawl.append(path)
    with open(os.path.join(root, "render", "app.js"), "w") as out:
        out.write(RENDER_SCRIPT)
    render = []
    for n in range(RENDER_PAGES):
        path = "render/r%03d.html" % n
        with open(os.path.join(root, path), "w") as out:
            out.write(_render_page(n))
        render.append(path)
    return {"page": PAGE, "crawl": crawl, "render": render}


def write_urls(path, urls):
    with open(path, "w") as out:
        out.write("\n".join(urls) + "\n")

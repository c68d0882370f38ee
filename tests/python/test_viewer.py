"""The viewer page: its data as written, its file as written, and the page
itself in headless Chromium (skipped where Chromium or its driver is not
installed; scripts/install-deps installs both)."""

import base64
import json
import os
import re
import shutil
import subprocess
import sys
import time

import numpy as np
import pytest

import stellix
from stellix import _viewer

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.join(HERE, os.pardir, os.pardir)
DAY = 86400.0


def page_data(text):
    """The JSON the page carries, read back as the page's script reads it."""
    match = re.search(r'<script id="stellix-data" type="application/json">(.*?)</script>', text,
                      re.S)
    return json.loads(match.group(1))


def shown_positions(data):
    values = np.frombuffer(base64.b64decode(data["positions"]), dtype="<f4")
    return values.reshape(len(data["steps"]), len(data["names"]), 3)


# Runs to look at.


def solar_system_year():
    """The Sun, the planets and a Moon about the Earth for a year, one
    snapshot a day from a chunked run in hourly steps, with the energy error
    of every snapshot."""
    bodies, names = stellix.read_bodies(os.path.join(ROOT, "examples", "solar_system.txt"))
    earth = bodies[names.index("Earth")]
    moon = (earth["x"] + 384.4e6, earth["y"], earth["z"], earth["vx"], earth["vy"] + 1022.0,
            earth["vz"], 0.07346)
    bodies = np.concatenate([bodies, stellix.make_bodies([moon])])
    names = names + ["Moon"]
    positions, energies = [], []
    for day in range(366):
        if day:
            stellix.simulate(bodies, 3600.0, 24, 24, store=False)
        positions.append(np.stack([bodies["x"], bodies["y"], bodies["z"]], axis=1))
        energies.append(stellix.energy(bodies))
    energies = np.array(energies)
    steps = 24 * np.arange(366)
    return dict(positions=np.array(positions), names=names, masses=bodies["mass"],
                steps=steps, times=3600.0 * steps,
                energy_error=(energies - energies[0]) / abs(energies[0]))


def planetesimal_disc(n=2000, snapshots=1000, chunk=25):
    """A Sun, a Jupiter and a disc of light bodies between 1 and 4.5 AU in
    steps of a day, from chunked runs of `chunk` steps, each stored at the
    library's schedule (after step 0, 2, 3, ..., chunk) and its first
    snapshot, the last one of the chunk before, left out; the energy error
    is known at the end of every chunk."""
    rng = np.random.default_rng(20)
    rows = [(0, 0, 0, 0, 0, 0, 1988500), (_viewer.AU * 5.2, 0, 0, 0, 13070, 0, 1898.19)]
    gm = stellix.G * 1988500
    r = _viewer.AU * rng.uniform(1, 4.5, n - 2)
    phase = rng.uniform(0, 2 * np.pi, n - 2)
    speed = np.sqrt(gm / r)
    height = rng.normal(0, 0.02, n - 2) * r
    c, s = np.cos(phase), np.sin(phase)
    rows += list(zip(r * c, r * s, height, -speed * s, speed * c, 0 * r, 1e-3 + 0 * r))
    bodies = stellix.make_bodies(rows)
    energy0 = stellix.energy(bodies)
    positions, steps, error = [], [], []
    while sum(len(p) for p in positions) < snapshots:
        first = 0 if not positions else 1
        done = len(positions) * chunk
        positions.append(stellix.simulate(bodies, DAY, chunk, 1)[first:])
        steps += [done + k for k in [0, *range(2, chunk + 1)][first:]]
        error += [np.nan] * (len(positions[-1]) - 1)
        error.append((stellix.energy(bodies) - energy0) / abs(energy0))
    error[0] = 0.0
    steps = np.array(steps[:snapshots])
    return dict(positions=np.concatenate(positions)[:snapshots],
                names=["Sun", "Jupiter"] + ["body %d" % k for k in range(3, n + 1)],
                masses=bodies["mass"], steps=steps, times=DAY * steps,
                energy_error=np.array(error[:snapshots]))


def tiny_run(snapshots=3, names=("A", "B")):
    positions = np.arange(snapshots * len(names) * 3, dtype=np.float64).reshape(
        snapshots, len(names), 3) * 1e10
    return dict(positions=positions, names=list(names), masses=np.ones(len(names)),
                steps=np.arange(snapshots), times=10.0 * np.arange(snapshots))


# The page's data and file, without a browser.


def test_the_template_has_one_place_for_the_data_and_nothing_to_fetch():
    template = _viewer._template()
    assert template.count(_viewer.PLACEHOLDER) == 1
    for reference in ("http:", "https:", "src=", "href=", "url(", "@import", "fetch("):
        assert reference not in template


def test_data_round_trips_in_display_units_and_names_cannot_break_out():
    run = tiny_run(names=("</script><!--", 'quote " & amp'))
    run["energy_error"] = np.array([0.0, np.nan, -2e-15])
    data = page_data(_viewer.page(units="m", **run))
    assert data["names"] == ["</script><!--", 'quote " & amp']
    assert data["energy_error"] == [0.0, None, -2e-15]
    assert data["steps"] == [0, 1, 2] and data["times"] == [0.0, 10.0, 20.0]
    assert data["length_unit"] == "AU" and data["time_unit"] == "s"
    expected = (run["positions"] / _viewer.AU).astype(np.float32)
    assert shown_positions(data).tobytes() == expected.tobytes()
    in_days = page_data(_viewer.page(units="au", **run))
    assert in_days["time_unit"] == "d"
    assert shown_positions(in_days).tobytes() == run["positions"].astype(np.float32).tobytes()


def test_large_runs_show_every_kth_snapshot_and_the_last():
    assert _viewer.shown_snapshots(1000, 2000) == list(range(0, 1000, 3))
    assert _viewer.shown_snapshots(998, 2000) == list(range(0, 998, 3)) + [997]
    assert _viewer.shown_snapshots(365, 10) == list(range(365))
    assert _viewer.shown_snapshots(1, 10**6) == [0]
    run = tiny_run(snapshots=10)
    data = _viewer.data(**run)
    assert data["snapshots"] == 10 and len(data["energy_steps"]) == 10
    shown = _viewer.shown_snapshots(10, 2, max_values=30)
    assert shown == [0, 2, 4, 6, 8, 9]


@pytest.mark.parametrize("change, message", [
    (dict(positions=np.zeros((3, 2))), "shape"),
    (dict(names=["A"]), "1 names for 2 bodies"),
    (dict(masses=[1.0]), "masses"),
    (dict(steps=[0, 1]), "steps"),
    (dict(energy_error=[0.0]), "energy_error"),
    (dict(units="parsec"), "units"),
])
def test_arrays_of_the_wrong_shape_are_refused(change, message, tmp_path):
    run = dict(tiny_run(), **change)
    with pytest.raises(ValueError, match=message):
        stellix.to_html(tmp_path / "run.html", **run)
    assert os.listdir(tmp_path) == []


def test_the_iframe_carries_the_whole_page():
    run = tiny_run(names=('say "hi"', "B & C"))
    frame = _viewer.iframe(**run)
    srcdoc = re.match(r'<iframe srcdoc="([^"]*)"', frame).group(1)
    unescaped = srcdoc.replace("&quot;", '"').replace("&amp;", "&")
    assert unescaped == _viewer.page(**run)


def test_a_file_that_cannot_be_written_in_full_leaves_the_old_one(tmp_path):
    """A write cut short by the file size limit (as a full disk cuts it)
    raises, and the page already there stays whole, with nothing beside it."""
    target = tmp_path / "run.html"
    target.write_text("the old page")
    script = (
        "import resource, signal, sys, numpy as np\n"
        "sys.path.insert(0, %r)\n"
        "import stellix\n"
        "signal.signal(signal.SIGXFSZ, signal.SIG_IGN)\n"
        "resource.setrlimit(resource.RLIMIT_FSIZE, (65536, 65536))\n"
        "p = np.random.default_rng(1).normal(size=(50, 200, 3))\n"
        "try:\n"
        "    stellix.to_html(%r, p, ['b'] * 200, np.ones(200), np.arange(50), np.arange(50.0))\n"
        "except OSError as e:\n"
        "    print(e.errno)\n"
        % (os.path.join(ROOT, "python"), str(target)))
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                            check=True)
    assert result.stdout.strip() == "27"  # EFBIG
    assert target.read_text() == "the old page"
    assert os.listdir(tmp_path) == ["run.html"]


def test_a_vanished_directory_raises_and_a_good_write_replaces(tmp_path):
    with pytest.raises(FileNotFoundError):
        stellix.to_html(tmp_path / "gone" / "run.html", **tiny_run())
    target = tmp_path / "run.html"
    target.write_text("old")
    stellix.to_html(target, **tiny_run())
    assert page_data(target.read_text())["names"] == ["A", "B"]
    assert os.listdir(tmp_path) == ["run.html"]
    assert target.stat().st_mode & 0o777 == 0o666 & ~_umask()


def _umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask


# The page in a browser.


def _chromium():
    for name in ("chromium", "chromium-browser", "google-chrome"):
        path = shutil.which(name)
        if path:
            return path
    return None


@pytest.fixture(scope="module")
def browser():
    webdriver = pytest.importorskip("selenium.webdriver",
                                    reason="needs Selenium (Debian: python3-selenium)")
    from selenium.webdriver.chrome.service import Service
    binary, driver_path = _chromium(), shutil.which("chromedriver")
    if binary is None or driver_path is None:
        pytest.skip("needs Chromium and its driver (Debian: chromium chromium-driver)")
    options = webdriver.ChromeOptions()
    options.binary_location = binary
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                     "--window-size=1280,800", "--force-device-scale-factor=1"):
        options.add_argument(argument)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    driver = webdriver.Chrome(service=Service(driver_path), options=options)
    yield driver
    driver.quit()


@pytest.fixture(scope="module")
def solar(tmp_path_factory):
    path = tmp_path_factory.mktemp("solar") / "solar_system.html"
    stellix.to_html(path, title="The solar system for a year", **solar_system_year())
    return path


def load(browser, path):
    """Opens the page; returns the seconds until its first picture is drawn,
    after checking that it drew without a console error or a request."""
    browser.get_log("browser")  # what earlier pages logged
    started = time.perf_counter()
    browser.get("file://" + str(path))
    ready = browser.execute_script("return window.stellixViewer && window.stellixViewer.draws")
    seconds = time.perf_counter() - started
    errors = [e for e in browser.get_log("browser") if e["level"] in ("SEVERE", "WARNING")]
    assert errors == []
    assert ready and ready >= 1
    assert browser.execute_script("return performance.getEntriesByType('resource').length") == 0
    return seconds


def picture(browser):
    return browser.execute_script("return document.getElementById('view').toDataURL()")


def lit_pixels(browser):
    """How many pixels of the view differ from its background."""
    return browser.execute_script("""
        const c = document.getElementById('view'), d = c.getContext('2d')
            .getImageData(0, 0, c.width, c.height).data;
        let lit = 0;
        for (let i = 0; i < d.length; i += 4)
            if (Math.abs(d[i] - 11) + Math.abs(d[i + 1] - 14) + Math.abs(d[i + 2] - 20) > 30) lit++;
        return lit;""")


def text(browser, element):
    return browser.find_element("id", element).text


def keep_screenshot(browser, tmp_path, name):
    path = tmp_path / name
    browser.save_screenshot(str(path))
    return path


def test_the_solar_system_plays_turns_and_zooms(browser, solar, tmp_path):
    from selenium.webdriver.common.action_chains import ActionChains
    load(browser, solar)
    assert lit_pixels(browser) > 500
    assert text(browser, "step") == "step 0"
    browser.find_element("id", "play").click()
    deadline = time.monotonic() + 10
    while text(browser, "step") == "step 0" and time.monotonic() < deadline:
        time.sleep(0.05)
    browser.find_element("id", "play").click()
    assert text(browser, "play") == "Play"
    step = int(text(browser, "step").split()[1])
    assert step > 0 and step % 24 == 0
    hours = "%.2f h" % step if step < 48 else "%.2f d" % (step / 24)
    assert text(browser, "time") == "t = " + hours
    paused = text(browser, "step")
    time.sleep(0.2)
    assert text(browser, "step") == paused
    before = picture(browser)
    view = browser.find_element("id", "view")
    ActionChains(browser).move_to_element(view).click_and_hold().move_by_offset(120, 60) \
        .release().perform()
    turned = picture(browser)
    assert turned != before
    zoom_in = """for (let k = 0; k < 3; k++) document.getElementById('view')
        .dispatchEvent(new WheelEvent('wheel', {deltaY: -300, cancelable: true}))"""
    browser.execute_script(zoom_in)
    assert picture(browser) != turned
    browser.find_element("id", "reset").click()
    browser.execute_script(zoom_in + "; window.stellixViewer.setFrame(300)")
    keep_screenshot(browser, tmp_path, "solar_system.png")


def test_the_close_up_follows_the_moon_about_the_earth(browser, solar, tmp_path):
    from selenium.webdriver.support.ui import Select
    load(browser, solar)
    slider = browser.find_element("id", "slider")
    browser.execute_script("arguments[0].value = 200;"
                           "arguments[0].dispatchEvent(new Event('input'))", slider)
    whole = picture(browser)
    Select(browser.find_element("id", "follow")).select_by_visible_text("Earth")
    assert picture(browser) != whole
    # The Earth sits in the middle, the Moon beside it, both named.
    centre, moon, middle = browser.execute_script("""
        const v = window.stellixViewer, n = v.run.names;
        const at = (i) => [v.screen[3 * i], v.screen[3 * i + 1]];
        return [at(n.indexOf('Earth')), at(n.indexOf('Moon')),
                [v.width / 2, 40 + (v.height - 40) / 2]];""")
    assert np.allclose(centre, middle, atol=0.01)
    assert 60 < np.hypot(moon[0] - centre[0], moon[1] - centre[1]) < 400
    keep_screenshot(browser, tmp_path, "solar_system_earth_moon.png")
    browser.execute_script("window.stellixViewer.setFrame(210)")
    assert browser.execute_script("""
        const v = window.stellixViewer, e = v.run.names.indexOf('Earth');
        return [v.screen[3 * e], v.screen[3 * e + 1]]""") == centre


def test_names_show_on_hover(browser, solar):
    from selenium.webdriver.common.action_chains import ActionChains
    load(browser, solar)
    # Selenium moves the pointer relative to the middle of the element.
    dx, dy = browser.execute_script("""
        const v = window.stellixViewer, i = v.run.names.indexOf('Mars');
        return [v.screen[3 * i] - v.width / 2, v.screen[3 * i + 1] - v.height / 2]""")
    view = browser.find_element("id", "view")
    ActionChains(browser).move_to_element_with_offset(view, round(dx) + 2, round(dy)).perform()
    assert text(browser, "tip") == "Mars"


def test_two_thousand_bodies_open_quickly_from_a_small_file(browser, tmp_path):
    path = tmp_path / "disc.html"
    stellix.to_html(path, **planetesimal_disc())
    size = os.path.getsize(path)
    seconds = load(browser, path)
    print("2000 bodies x 1000 snapshots: %.1f MB, drawn %.2f s after asking" %
          (size / 1e6, seconds))
    assert size < 20e6
    assert seconds < 2.0
    assert lit_pixels(browser) > 2000
    milliseconds = browser.execute_script("""
        const v = window.stellixViewer, started = performance.now();
        for (let f = 190; f <= 200; f++) v.setFrame(f);
        return (performance.now() - started) / 11""")
    print("2000 bodies: %.1f ms to draw a frame with short trails" % milliseconds)
    keep_screenshot(browser, tmp_path, "two_thousand_bodies.png")


@pytest.mark.parametrize("run", [
    dict(positions=np.zeros((1, 1, 3)), names=["alone"], masses=[0.0], steps=[0], times=[0.0]),
    dict(tiny_run(snapshots=4), energy_error=[0.0, 0.0, 0.0, 0.0], units="km"),
    dict(tiny_run(snapshots=4, names=("A", "B", "C")),
         positions=np.array([[[0, 0, 0], [1, 0, 0], [0, 1, 0]]] * 3 +
                            [[[0, 0, 0], [np.nan, np.inf, 0], [0, 1e300, 0]]], dtype=float),
         energy_error=[0.0, 1e-16, np.nan, np.inf], units="au"),
], ids=["one-body-one-snapshot", "energy-exactly-kept", "a-run-that-blew-up"])
def test_degenerate_runs_load_without_errors(browser, tmp_path, run):
    path = tmp_path / "run.html"
    stellix.to_html(path, **run)
    load(browser, path)
    assert lit_pixels(browser) > 50
    last = len(run["steps"]) - 1
    browser.execute_script("window.stellixViewer.trail = -1; window.stellixViewer.setFrame(%d)"
                           % last)
    assert text(browser, "step") == "step %d" % run["steps"][last]
    assert [e for e in browser.get_log("browser") if e["level"] == "SEVERE"] == []


@pytest.mark.skipif(not os.environ.get("STELLIX_PROGRAM"), reason="STELLIX_PROGRAM names the program")
def test_the_programs_page_opens_and_plays(browser, tmp_path):
    # The program fills the same template with the same data as to_html.
    examples = os.path.join(os.path.dirname(__file__), os.pardir, os.pardir, "examples")
    command = [os.environ["STELLIX_PROGRAM"], "--steps", "2000", "--interval", "20",
               "--html", "run.html", os.path.join(examples, "solar_system.txt")]
    result = subprocess.run(command, cwd=tmp_path, capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    load(browser, tmp_path / "run.html")
    assert lit_pixels(browser) > 50
    # 100 snapshots, the 51st after step 50 * 20 + 1.
    browser.execute_script("window.stellixViewer.setFrame(50)")
    assert text(browser, "step") == "step 1001"

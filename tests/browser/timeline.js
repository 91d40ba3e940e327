// Opens a `zo timeline` page in headless Chromium and prints what it shows
// as one JSON line: the lanes (context ids and labels), the bars (call ids
// and how each ended), the marks, the title, and every console message and
// page error.
//   node tests/browser/timeline.js PAGE.html [SCREENSHOT.png]
"use strict";
const path = require("path");
const puppeteer = require("puppeteer-core");

async function main() {
  const [page, screenshot] = process.argv.slice(2);
  const browser = await puppeteer.launch({
    executablePath: process.env.CHROMIUM || "/usr/bin/chromium",
    headless: true,
    args: ["--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage"],
  });
  const problems = [];
  const requests = [];
  try {
    const tab = await browser.newPage();
    await tab.setViewport({ width: 1100, height: 600 });
    tab.on("console", message => problems.push(`console ${message.type()}: ${message.text()}`));
    tab.on("pageerror", error => problems.push(`page error: ${error.message}`));
    tab.on("request", request => requests.push(request.url()));
    await tab.goto("file://" + path.resolve(page), { waitUntil: "load" });
    const shown = await tab.evaluate(() => ({
      lanes: [...document.querySelectorAll(".lane")].map(g => [g.dataset.context, g.dataset.label]),
      bars: [...document.querySelectorAll(".bar")].map(r => [Number(r.dataset.call), r.classList[1]]),
      marks: document.querySelectorAll(".mark").length,
      title: document.title,
      heading: document.getElementById("title").textContent,
    }));
    // Zoom in around the middle and hover a bar: both must work without errors.
    const box = await (await tab.$("#timeline")).boundingBox();
    await tab.mouse.move(box.x + box.width * 0.6, box.y + 40);
    await tab.mouse.wheel({ deltaY: -300 });
    await tab.click("#axis");
    const bar = await tab.$(".bar:not([visibility])");
    if (bar) await bar.hover();
    shown.tip = await tab.evaluate(() => document.getElementById("tip").hidden ? null : document.getElementById("tip").textContent);
    await tab.click("#axis");
    await tab.click("#reset");
    if (screenshot) {
      await tab.mouse.move(0, 0);
      const height = await tab.evaluate(() => document.body.scrollHeight);
      await tab.setViewport({ width: 1100, height: Math.min(height, 620) });
      await tab.screenshot({ path: screenshot });
    }
    shown.problems = problems;
    shown.requests = requests.filter(url => !url.startsWith("file://"));
    console.log(JSON.stringify(shown));
  } finally {
    await browser.close();
  }
}

main().catch(error => { console.error(error); process.exit(1); });

"use strict";
// The boards as the service lists them; the full page replaces this.
fetch("/api/lines").then((r) => r.json()).then((answer) => {
  const main = document.getElementById("lines");
  main.textContent = JSON.stringify(answer.lines, null, 2);
});

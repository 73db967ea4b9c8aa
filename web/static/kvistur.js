// Small help for browsers with JavaScript; every page works without it.
//  - the result page says how many records are chosen as boxes are ticked;
//  - the print list gets a button that prints it.
(function () {
  "use strict";

  var hits = document.querySelector("form.hits");
  var count = document.getElementById("chosen-count");
  if (hits && count) {
    var texts = { one: count.getAttribute("data-one"), many: count.getAttribute("data-many") };
    var update = function () {
      var n = hits.querySelectorAll('input[name="id"]:checked, input[type="hidden"][name="id"]').length;
      var lang = document.documentElement.lang;
      var one = lang === "is" ? n % 10 === 1 && n % 100 !== 11 : n === 1;
      var text = one ? texts.one : texts.many;
      if (text) count.textContent = text.replace("{n}", String(n));
    };
    hits.addEventListener("change", update);
  }

  var print = document.querySelector("button.print-now");
  if (print) {
    print.hidden = false;
    print.addEventListener("click", function () { window.print(); });
  }
})();

#include "server/facets.h"

#include <yaz/facet.h>

#include <algorithm>
#include <string>

#include "platform/open_database.h"
#include "search/facets.h"

namespace kvistur::server {

void AnswerFacets(ODR stream, Z_OtherInformation* asked, Z_OtherInformation** answer, const ResultSet& hits) {
  Z_FacetList* wanted = yaz_oi_get_facetlist(&asked);
  if (!wanted || wanted->num <= 0) return;
  // A count needs no order: the hits as the set holds them so far.
  RecordList records = hits.unordered();
  std::unique_ptr<db::Database> catalogue = open_catalogue();
  std::shared_ptr<const facets::FacetTable> table = facets::FacetsFor(*catalogue);
  std::shared_ptr<const facets::Shelf> shelf = facets::ShelfOf(*catalogue, table);
  facets::Counts counts = facets::Count(*table, *shelf, records.span());
  catalogue->Close();
  Z_FacetList* out = facet_list_create(stream, wanted->num);
  for (int i = 0; i < wanted->num; ++i) {
    Z_FacetField* field = wanted->elements[i];
    yaz_facet_attr av;
    yaz_facet_attr_init(&av);
    yaz_facet_attr_get_z_attributes(field->attributes, &av);
    std::vector<facets::Value> values;
    if (av.errcode == 0 && av.useattr) values = facets::ValuesOf(av.useattr, counts, table->places());
    if (av.sortorder == 1)  // alphanumeric, as a client may ask
      std::sort(values.begin(), values.end(), [](const auto& a, const auto& b) { return a.value < b.value; });
    int most = av.limit > 0 ? std::min(av.limit, kMaxFacetTerms) : kDefaultFacetTerms;
    int n = std::min(int(values.size()), most);
    Z_FacetField* given = facet_field_create(stream, field->attributes, n);
    for (int j = 0; j < n; ++j)
      facet_field_term_set(stream, given, facet_term_create_cstr(stream, values[std::size_t(j)].value.c_str(),
                                                                 values[std::size_t(j)].count),
                           j);
    facet_list_field_set(stream, out, given, i);
  }
  yaz_oi_set_facetlist(answer, stream, out);
}

}  // namespace kvistur::server
